// Unpacks one generated archive twice: with extractTarArchive and with the
// system's `tar -xf`, and prints both throughputs and their ratio; then the
// same for a chain of 20,000 symbolic links, each pointing at the next, the
// last at a folder (each link's folder-or-file decision follows the chain).
//
//   tar_extract_bench [folder] [files]
//
// The folder defaults to /dev/shm (else /tmp). Our unpacker syncs every file
// to disk and tar does not, so on a disk-backed folder the comparison mostly
// measures fsync; a memory-backed folder compares the unpacking itself.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/tar_reader.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "../tests/support/tar_builder.h"
#include "app_archive.h"

namespace {

namespace stdfs = std::filesystem;

using tl::bench::secondsSince;

std::string buildLinkChain(std::size_t links) {
  tl::test::TarBuilder b;
  b.dir("app").dir("app/d");
  for (std::size_t i = 0; i < links; ++i) {
    b.symlink("app/l" + std::to_string(i), i + 1 == links ? "d" : "l" + std::to_string(i + 1));
  }
  return b.end().bytes();
}

// Our time and tar's for one archive, unpacked below work/ours-<name> and
// work/tar-<name>; false when either fails.
bool timeBoth(const stdfs::path& work, const std::string& name, const std::string& tar, double& ours,
              double& theirs) {
  const stdfs::path tarPath = work / (name + ".tar");
  std::ofstream(tarPath, std::ios::binary).write(tar.data(), static_cast<std::streamsize>(tar.size()));
  stdfs::create_directories(work / ("ours-" + name));
  stdfs::create_directories(work / ("tar-" + name));
  auto dest = tl::fs::openDir(tl::fs::windowsPath((work / ("ours-" + name)).string()));
  if (!dest.ok()) {
    std::printf("cannot open the destination: %s\n", std::string(tl::errorName(dest.error())).c_str());
    return false;
  }
  tl::ArchiveDestination destination(*dest);
  tl::MemoryPullReader reader(tar);
  auto start = std::chrono::steady_clock::now();
  auto result = tl::extractTarArchive(reader, tar.size(), &destination);
  ours = secondsSince(start);
  if (!result.ok()) {
    std::printf("extractTarArchive failed: %s\n", std::string(tl::errorName(result.error())).c_str());
    return false;
  }
  const std::string command =
      "tar -xf '" + tarPath.string() + "' -C '" + (work / ("tar-" + name)).string() + "'";
  start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  theirs = secondsSince(start);
  if (rc != 0) {
    std::printf("tar -xf failed (%d)\n", rc);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t files = argc > 2 ? std::stoul(argv[2]) : 20000;
  const std::string templ = tl::bench::makeWorkFolder(argc, argv, "tl-tar-bench");
  if (templ.empty()) return 1;
  const stdfs::path work = templ;
  tl::IoContext ctx;
  tl::setIo(&ctx);

  std::uint64_t payload = 0;
  const std::string tar = tl::bench::buildAppArchive(files, payload);
  const double mib = static_cast<double>(tar.size()) / (1024.0 * 1024.0);
  std::printf("archive: %zu files, %.1f MiB (%.1f MiB of file data) in %s\n", files, mib,
              static_cast<double>(payload) / (1024.0 * 1024.0), templ.c_str());
  double ours = 0, theirs = 0;
  if (!timeBoth(work, "files", tar, ours, theirs)) return 1;
  std::printf("extractTarArchive: %.3f s, %.1f MiB/s (with recipe, hashes and a sync per file)\n", ours, mib / ours);
  std::printf("tar -xf:           %.3f s, %.1f MiB/s\n", theirs, mib / theirs);
  std::printf("ratio (ours / tar time): %.2f\n", ours / theirs);

  constexpr std::size_t kChain = 20000;
  if (!timeBoth(work, "chain", buildLinkChain(kChain), ours, theirs)) return 1;
  std::printf("chain of %zu links: extractTarArchive %.3f s, tar -xf %.3f s, ratio %.2f\n", kChain, ours, theirs,
              ours / theirs);
  std::error_code ec;
  stdfs::remove_all(work, ec);
  return 0;
}
