// Feeds arbitrary bytes to the retained-archive unpacker, into a scratch
// stage that holds a link to a folder beside it: the unpacker must end with
// success or a named error, never crash or hang, create no link, and write
// nothing outside the stage, whether through the planted link or by a path
// of its own.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/fs.h"
#include "scratch_folder.h"
#include "update/apply/retained_archive_unpacker.h"

namespace {

namespace stdfs = std::filesystem;

const stdfs::path& scratch() { return tl::fuzz::scratchFolder("tl-retained-fuzz"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const stdfs::path stage = scratch() / "stage";
  const stdfs::path outside = scratch() / "outside";
  stdfs::remove_all(stage);
  stdfs::create_directories(stage);
  stdfs::create_directories(outside);
  if (::symlink("../outside", (stage / "evil").c_str()) != 0) __builtin_trap();

  auto folder = tl::fs::openDir(tl::fs::windowsPath(stage.string()));
  if (!folder.ok()) __builtin_trap();
  tl::MemoryPullReader reader(std::string_view(reinterpret_cast<const char*>(data), size));
  (void)tl::unpackRetainedTar(reader, *folder);

  for (const auto& e : stdfs::directory_iterator(scratch())) {
    if (e.path() != stage && e.path() != outside) __builtin_trap();
  }
  if (!stdfs::is_empty(outside)) __builtin_trap();
  for (auto it = stdfs::recursive_directory_iterator(stage); it != stdfs::recursive_directory_iterator(); ++it) {
    if (it->is_symlink() && it->path() != stage / "evil") __builtin_trap();
  }
  return 0;
}
