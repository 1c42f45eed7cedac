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
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/fs.h"
#include "platform/io_context.h"
#include "update/retained_archive_unpacker.h"
#include "../tests/support/tar_builder.h"

namespace {

namespace stdfs = std::filesystem;

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Mostly small files in 50 folders, every 500th of 4 MiB, as an application
// tree has.
std::string buildArchive(std::size_t files) {
  std::mt19937_64 rng(42);
  tl::test::TarBuilder b;
  b.dir("app");
  for (std::size_t i = 0; i < files; ++i) {
    const std::string folder = "app/d" + std::to_string(i % 50);
    if (i < 50) b.dir(folder);
    std::size_t size = rng() % 16384;
    if (i % 500 == 0) size = 4u << 20;
    std::string data(size, '\0');
    for (std::size_t k = 0; k < size; k += 8) data[k] = static_cast<char>(rng());
    b.file(folder + "/f" + std::to_string(i), data);
  }
  return b.end().bytes();
}

}  // namespace

int main(int argc, char** argv) {
  std::string base = argc > 1 ? argv[1] : (stdfs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
  const std::size_t files = argc > 2 ? std::stoul(argv[2]) : 20000;
  std::string templ = base + "/tl-retained-bench-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const stdfs::path work = templ;
  tl::IoContext ctx;
  tl::setIo(&ctx);

  const std::string tar = buildArchive(files);
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
  const double ours = seconds(start);
  ::dup2(savedErr, 2);
  if (!s.ok()) {
    std::printf("unpackRetainedArchive failed: %s\n", std::string(tl::errorName(s.error())).c_str());
    return 1;
  }

  const std::string command = "tar -xf '" + tarPath.string() + "' -C '" + (work / "tar").string() + "'";
  start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const double theirs = seconds(start);
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
