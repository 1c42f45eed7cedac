#pragma once
// What the unpacking benchmarks share: their work folder, a generated
// application archive and a timer.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "../tests/support/tar_builder.h"

namespace tl::bench {

// A fresh folder below argv[1], else /dev/shm (memory, so that the
// comparison measures unpacking rather than the disk), else /tmp; empty when
// it cannot be made.
inline std::string makeWorkFolder(int argc, char** argv, const std::string& prefix) {
  const bool shm = std::filesystem::is_directory("/dev/shm");
  std::string templ = std::string(argc > 1 ? argv[1] : shm ? "/dev/shm" : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    return {};
  }
  return templ;
}

inline double secondsSince(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// app/ with `files` files of pseudo-random content in 50 folders: mostly
// small, every 500th of 4 MiB, as an application tree has. `payload` gets
// the bytes of file data.
inline std::string buildAppArchive(std::size_t files, std::uint64_t& payload) {
  std::mt19937_64 rng(42);
  tl::test::TarBuilder b;
  b.dir("app");
  payload = 0;
  for (std::size_t i = 0; i < files; ++i) {
    const std::string folder = "app/d" + std::to_string(i % 50);
    if (i < 50) b.dir(folder);
    std::size_t size = rng() % 16384;
    if (i % 500 == 0) size = 4u << 20;
    std::string data(size, '\0');
    for (std::size_t k = 0; k < size; k += 8) data[k] = static_cast<char>(rng());
    payload += size;
    b.file(folder + "/f" + std::to_string(i), data);
  }
  return b.end().bytes();
}

}  // namespace tl::bench
