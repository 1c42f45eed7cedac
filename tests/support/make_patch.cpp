// make_patch: writes a TRDIFF10 patch that turns one file into another.
//
//   make_patch [--level N] OLD NEW OUT
//
// OLD and NEW are read whole; OUT is replaced. --level is the Zstandard
// level of the three blocks (default 3). Prints the three sizes; exits 0 on
// success, 1 when a file cannot be read or written, 2 on a wrong command line.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/patch_maker.h"

namespace {

bool readWhole(const char* path, std::string& out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  out.resize(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  return static_cast<bool>(in.read(out.data(), static_cast<std::streamsize>(out.size())));
}

int usage() {
  std::fprintf(stderr, "usage: make_patch [--level N] OLD NEW OUT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int level = 3;
  int at = 1;
  if (argc > at && std::string(argv[at]) == "--level") {
    if (argc <= at + 1) return usage();
    char* end = nullptr;
    level = static_cast<int>(std::strtol(argv[at + 1], &end, 10));
    if (*end != '\0' || level < 1 || level > 22) return usage();
    at += 2;
  }
  if (argc - at != 3) return usage();
  std::string oldBytes;
  std::string newBytes;
  if (!readWhole(argv[at], oldBytes) || !readWhole(argv[at + 1], newBytes)) {
    std::fprintf(stderr, "make_patch: cannot read %s or %s\n", argv[at], argv[at + 1]);
    return 1;
  }
  const std::string patch = tl::test::makePatch(oldBytes, newBytes, level);
  std::ofstream out(argv[at + 2], std::ios::binary | std::ios::trunc);
  out.write(patch.data(), static_cast<std::streamsize>(patch.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "make_patch: cannot write %s\n", argv[at + 2]);
    return 1;
  }
  std::printf("old %zu bytes, new %zu bytes, patch %zu bytes\n", oldBytes.size(), newBytes.size(), patch.size());
  return 0;
}
