// Streams the new archive of a delta update through the patched archive
// reader and compares it with `zstd -d --patch-from` on the same old/new
// pair: wall time (MiB/s of new archive) and peak resident memory of each,
// both measured in a process of its own that loads the old archive whole.
//
//   patch_reader_bench [folder] [MiB]
//
// The folder defaults to /tmp, the archive size to 256 MiB. The pair is
// tar-like: files of pseudo-random bytes in 512-byte blocks; the new archive
// drops some, edits a few bytes of others, adds new ones and moves a run of
// them, so most of it repeats the old one at shifted offsets. The patch is
// made by build/make_patch (beside this program), the zstd one by
// `zstd --patch-from`. The reader's memory should be the old archive plus
// the three decoder windows (8 MiB each at most) and fixed small buffers.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <xxhash.h>

#include "platform/fs.h"
#include "platform/io_context.h"
#include "update/patch/patch_format.h"
#include "update/patch/patched_archive_reader.h"

#include "child_run.h"
#include "pseudo_random.h"

namespace {

using tl::bench::ChildRun;
using tl::bench::runChild;

namespace stdfs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;

// A tar-like archive: a 512-byte header naming each file, its bytes padded
// to 512.
std::string archiveOf(const std::vector<std::string>& files) {
  std::string out;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string header = "file " + std::to_string(i) + " size " + std::to_string(files[i].size());
    header.resize(512, '\0');
    out += header;
    out += files[i];
    out.resize((out.size() + 511) / 512 * 512, '\0');
  }
  out.append(1024, '\0');
  return out;
}

void makePair(std::uint64_t bytes, const std::string& oldPath, const std::string& newPath) {
  tl::bench::PseudoRandom rng;
  std::vector<std::string> files;
  std::uint64_t total = 0;
  while (total < bytes) {
    std::string f = rng.bytes(4096 + rng.below(4u << 20));
    total += f.size();
    files.push_back(std::move(f));
  }
  std::ofstream(oldPath, std::ios::binary) << archiveOf(files);
  std::vector<std::string> next;
  for (std::string& f : files) {
    const std::uint64_t roll = rng.below(100);
    if (roll < 5) continue;  // removed
    if (roll < 15) {         // edited in a few places
      for (int k = 0; k < 4; ++k) f[rng.below(f.size())] ^= 0x5A;
    }
    if (roll >= 95) {  // a new file beside it
      std::string added = rng.bytes(4096 + rng.below(1u << 20));
      next.push_back(std::move(added));
    }
    next.push_back(std::move(f));
  }
  // A run of files moves to the end.
  std::rotate(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(next.size() / 3),
              next.begin() + static_cast<std::ptrdiff_t>(next.size() / 2));
  std::ofstream(newPath, std::ios::binary) << archiveOf(next);
}

std::string readWhole(const std::string& path) {
  std::string out(stdfs::file_size(path), '\0');
  std::ifstream(path, std::ios::binary).read(out.data(), static_cast<std::streamsize>(out.size()));
  return out;
}

std::uint64_t hashFile(const std::string& path) {
  XXH64_state_t* hash = XXH64_createState();
  XXH64_reset(hash, 0);
  std::ifstream in(path, std::ios::binary);
  std::string buf(1 << 20, '\0');
  while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
    XXH64_update(hash, buf.data(), static_cast<std::size_t>(in.gcount()));
  }
  const std::uint64_t digest = XXH64_digest(hash);
  XXH64_freeState(hash);
  return digest;
}

// The child's part (this program started again with --apply): load the old
// archive, stream the patched one to its verified end, and exit 0 when its
// XXH64 is the expected one.
int applyPatch(const std::string& oldPath, const std::string& patchPath, std::uint64_t expectedHash) {
  tl::IoContext ctx;
  tl::setIo(&ctx);
  const auto start = std::chrono::steady_clock::now();
  const std::string old = readWhole(oldPath);
  const auto loaded = std::chrono::steady_clock::now();
  auto file = tl::fs::openFileRead(tl::fs::windowsPath(patchPath));
  if (!file.ok()) return 2;
  auto patch = tl::openPatchFile(*file, stdfs::file_size(patchPath));
  if (!patch.ok()) {
    std::printf("open: %s\n", std::string(tl::errorName(patch.error())).c_str());
    return 3;
  }
  tl::MemoryPatchSource source(old);
  tl::PatchedArchiveReader reader(source, patch->control, patch->diff, patch->extra, patch->header.newSize);
  XXH64_state_t* hash = XXH64_createState();
  XXH64_reset(hash, 0);
  static char buf[tl::kPatchStepSize];
  for (;;) {
    auto got = reader.read(buf, sizeof buf);
    if (!got.ok()) {
      std::printf("read: %s\n", std::string(tl::errorName(got.error())).c_str());
      return 4;
    }
    if (*got == 0) break;
    XXH64_update(hash, buf, *got);
  }
  const auto end = std::chrono::steady_clock::now();
  const double streamed = std::chrono::duration<double>(end - loaded).count();
  std::printf("  (reader: old archive loaded in %.2f s, new archive streamed in %.2f s: %.0f MiB/s)\n",
              std::chrono::duration<double>(loaded - start).count(), streamed,
              static_cast<double>(reader.produced()) / kMiB / streamed);
  return reader.ended() && XXH64_digest(hash) == expectedHash ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--apply") return applyPatch(argv[2], argv[3], std::stoull(argv[4]));
  if (argc == 5 && std::string(argv[1]) == "--make-pair") {
    makePair(std::stoull(argv[2]), argv[3], argv[4]);
    return 0;
  }
  const std::string base = argc > 1 ? argv[1] : "/tmp";
  const std::uint64_t mib = argc > 2 ? std::stoull(argv[2]) : 256;
  std::string templ = base + "/tl-patch-bench-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const stdfs::path dir = templ;
  const std::string oldPath = dir / "old.tar";
  const std::string newPath = dir / "new.tar";
  const std::string patchPath = dir / "new.patch";
  const std::string zstdPath = dir / "new.tar.zst";
  const std::string self = stdfs::canonical("/proc/self/exe").string();
  const std::string maker = (stdfs::path(self).parent_path() / "make_patch").string();

  // Children started by a process with a large peak would report it as
  // their own, so this one stays small: the pair is made by a child too.
  if (runChild({self, "--make-pair", std::to_string(mib << 20), oldPath, newPath}).status != 0) return 1;
  const std::uint64_t newHash = hashFile(newPath);
  const double newMiB = static_cast<double>(stdfs::file_size(newPath)) / kMiB;
  const double oldMiB = static_cast<double>(stdfs::file_size(oldPath)) / kMiB;

  const ChildRun made = runChild({maker, oldPath, newPath, patchPath});
  const ChildRun zmade = runChild({"zstd", "-q", "-q", "-f", "--patch-from=" + oldPath, newPath, "-o", zstdPath});
  if (made.status != 0 || zmade.status != 0) {
    std::printf("making the patches failed (make_patch %d, zstd %d)\n", made.status, zmade.status);
    return 1;
  }
  std::printf("old %.1f MiB, new %.1f MiB; patch %.2f MiB (made in %.1f s), zstd --patch-from %.2f MiB (%.1f s)\n",
              oldMiB, newMiB, static_cast<double>(stdfs::file_size(patchPath)) / kMiB, made.seconds,
              static_cast<double>(stdfs::file_size(zstdPath)) / kMiB, zmade.seconds);

  const ChildRun ours = runChild({self, "--apply", oldPath, patchPath, std::to_string(newHash)});
  const ChildRun theirs = runChild(
      {"zstd", "-q", "-q", "-d", "-f", "--long=31", "--patch-from=" + oldPath, zstdPath, "-o", "/dev/null"});
  if (ours.status != 0 || theirs.status != 0) {
    std::printf("applying failed (reader %d, zstd %d)\n", ours.status, theirs.status);
    return 1;
  }
  std::printf("patched archive reader: %.2f s, %.0f MiB/s of new archive, peak %.1f MiB (old archive %.1f + %.1f)\n",
              ours.seconds, newMiB / ours.seconds, ours.peakMiB, oldMiB, ours.peakMiB - oldMiB);
  std::printf("zstd -d --patch-from:   %.2f s, %.0f MiB/s of new archive, peak %.1f MiB (old archive %.1f + %.1f)\n",
              theirs.seconds, newMiB / theirs.seconds, theirs.peakMiB, oldMiB, theirs.peakMiB - oldMiB);
  std::printf("ratios (reader / zstd): time %.2f, throughput %.2f, peak memory %.2f\n", ours.seconds / theirs.seconds,
              theirs.seconds / ours.seconds, ours.peakMiB / theirs.peakMiB);
  std::error_code ec;
  stdfs::remove_all(dir, ec);
  return 0;
}
