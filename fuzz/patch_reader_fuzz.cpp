// Feeds arbitrary bytes as a patch file over a small old archive: the header
// checks, the frame walk and the stream to its end must end with the new
// archive or a named error, never crash, hang or read out of bounds. A patch
// the reader accepts must have produced exactly its new size, and a second
// read of the same file must produce the same bytes.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "update/patch/patch_format.h"
#include "update/patch/patched_archive_reader.h"

namespace {

namespace stdfs = std::filesystem;

// Larger new sizes are only opened, not streamed, so that each input stays fast.
constexpr std::uint64_t kMaxStreamed = 1 << 20;

// The old archive every input is applied to; the seed corpus was made
// against the same bytes.
const std::string& oldArchive() {
  static const std::string old = [] {
    std::string s(8192, '\0');
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 31 + (i >> 7)) & 0xFF);
    return s;
  }();
  return old;
}

// A file in a scratch folder made once per process and removed at its end.
const stdfs::path& patchPath() {
  struct Scratch {
    Scratch() {
      std::string templ = (stdfs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/tl-patch-fuzz-XXXXXX");
      if (::mkdtemp(templ.data()) == nullptr) __builtin_trap();
      dir = templ;
      file = dir / "patch";
    }
    ~Scratch() {
      std::error_code ec;
      stdfs::remove_all(dir, ec);
    }
    stdfs::path dir;
    stdfs::path file;
  };
  static const Scratch s;
  return s.file;
}

// The new archive, or nothing when the patch is refused anywhere.
bool produce(std::size_t fileSize, std::string& out) {
  auto file = tl::fs::openFileRead(tl::fs::windowsPath(patchPath().string()));
  if (!file.ok()) __builtin_trap();
  auto patch = tl::openPatchFile(*file, fileSize);
  if (!patch.ok() || patch->header.newSize > kMaxStreamed) return false;
  tl::MemoryPatchSource source(oldArchive());
  tl::PatchedArchiveReader reader(source, patch->control, patch->diff, patch->extra, patch->header.newSize);
  char buf[4096];
  for (;;) {
    auto got = reader.read(buf, sizeof buf);
    if (!got.ok()) {
      if (reader.failure() != got.error() || reader.ended()) __builtin_trap();
      return false;
    }
    if (*got == 0) break;
    out.append(buf, *got);
    if (out.size() > patch->header.newSize) __builtin_trap();
  }
  if (!reader.ended() || out.size() != patch->header.newSize || reader.produced() != out.size()) __builtin_trap();
  tl::freePatchStreams(*patch);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream f(patchPath(), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!f) __builtin_trap();
  }
  std::string first;
  if (!produce(size, first)) return 0;
  std::string second;
  if (!produce(size, second) || second != first) __builtin_trap();
  return 0;
}
