// Unpacks one generated archive from a file with the retained-archive
// unpacker and with the system's `tar -xf`, and prints both throughputs and
// their ratio. The unpacker announces every file on standard error, as it
// does in the field; that stream goes to /dev/null here, as tar's silence
// is the comparison.
//
//   retained_archive_bench [folder] [files]
//
// The folder defaults to /dev/shm (else /tmp), where the comparison measures
// the unpacking rather than the disk.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app_archive.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "update/apply/retained_archive_unpacker.h"

namespace {

namespace stdfs = std::filesystem;

using tl::bench::secondsSince;

}  // namespace

int main(int argc, char** argv) {
  const std::size_t files = argc > 2 ? std::stoul(argv[2]) : 20000;
  const std::string templ = tl::bench::makeWorkFolder(argc, argv, "tl-retained-bench");
  if (templ.empty()) return 1;
  const stdfs::path work = templ;
  tl::IoContext ctx;
  tl::setIo(&ctx);

  std::uint64_t payload = 0;
  const std::string tar = tl::bench::buildAppArchive(files, payload);
  const stdfs::path tarPath = work / "archive.tar";
  std::ofstream(tarPath, std::ios::binary).write(tar.data(), static_cast<std::streamsize>(tar.size()));
  stdfs::create_directories(work / "ours");
  stdfs::create_directories(work / "tar");
  const double mib = static_cast<double>(tar.size()) / (1024.0 * 1024.0);
  std::printf("archive: %zu files, %.1f MiB in %s\n", files, mib, templ.c_str());

  auto stage = tl::fs::openDir(tl::fs::windowsPath((work / "ours").string()));
  if (!stage.ok()) return 1;
  const int savedErr = ::dup(2);
  const int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, 2);
  auto start = std::chrono::steady_clock::now();
  const tl::Status s = tl::unpackRetainedArchive(tl::fs::windowsPath(tarPath.string()), *stage);
  const double ours = secondsSince(start);
  ::dup2(savedErr, 2);
  if (!s.ok()) {
    std::printf("unpackRetainedArchive failed: %s\n", std::string(tl::errorName(s.error())).c_str());
    return 1;
  }

  const std::string command = "tar -xf '" + tarPath.string() + "' -C '" + (work / "tar").string() + "'";
  start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const double theirs = secondsSince(start);
  if (rc != 0) {
    std::printf("tar -xf failed (%d)\n", rc);
    return 1;
  }
  std::printf("unpackRetainedArchive: %.3f s, %.1f MiB/s\n", ours, mib / ours);
  std::printf("tar -xf:               %.3f s, %.1f MiB/s\n", theirs, mib / theirs);
  std::printf("ratio (ours / tar time): %.2f\n", ours / theirs);
  std::error_code ec;
  stdfs::remove_all(work, ec);
  return 0;
}
