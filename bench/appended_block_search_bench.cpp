// Times the search for the installer's appended block over an executable
// with a 200 MiB block and prints it against one plain memmem scan of the
// same bytes for the metadata marker.
//
//   appended_block_search_bench [MiB]
//
// Layouts: an installer whose archive carries another installer stored
// verbatim near its end (found right after the program); a block whose
// metadata is damaged, so that the whole file is searched; and two hostile
// blocks: metadata markers each followed by the start of an object (the
// structural scans overlap), and marker pairs with an unknown channel (one
// metadata parse per pair).
#include <string.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "installer/installer_payload.h"

namespace {

const std::string kMeta = "TAMBERLOCK_METADATA_V1";
const std::string kArch = "TAMBERLOCK_ARCHIVE_V1";
const std::string kGood = R"({"identifier":"com.example.demo","name":"Demo","channel":"stable","hash":"b1"})";
const std::string kInner = R"({"identifier":"com.example.inner","name":"Inner","channel":"stable","hash":"i1"})";
const std::string kBeta = R"({"identifier":"com.example.demo","name":"Demo","channel":"beta","hash":null})";

std::string randomBytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string out(n, '\0');
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    const std::uint64_t v = rng();
    memcpy(&out[i], &v, 8);
  }
  return out;
}

// A program of 4 MiB that holds both marker texts the way its code does.
std::string program() {
  std::string code = randomBytes(4 << 20, 1);
  const std::string literals = kMeta + std::string(2, '\0') + kArch + std::string(3, '\0');
  code.replace(code.size() / 2, literals.size(), literals);
  return code;
}

double seconds(const std::chrono::steady_clock::time_point& since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The best of three runs.
template <class F>
double best(F&& f) {
  double t = 1e9;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    f();
    t = std::min(t, seconds(start));
  }
  return t;
}

std::size_t memmemCount(const std::string& data) {
  std::size_t count = 0;
  const char* at = data.data();
  const char* end = data.data() + data.size();
  while (const void* hit = memmem(at, static_cast<std::size_t>(end - at), kMeta.data(), kMeta.size())) {
    ++count;
    at = static_cast<const char*>(hit) + 1;
  }
  return count;
}

void run(const char* name, const std::string& exe) {
  std::size_t found = 0;
  const double search = best([&] {
    tl::Result<std::optional<tl::AppendedBlock>> r = tl::findAppendedBlock(exe);
    found = r.ok() && r->has_value() ? (*r)->archiveMarker : 0;
  });
  std::size_t markers = 0;
  const double plain = best([&] { markers = memmemCount(exe); });
  std::printf("%-34s %7.1f MiB  search %8.3f s  memmem %7.3f s  ratio %6.2f  (%zu markers, block at %zu)\n", name,
              static_cast<double>(exe.size()) / (1 << 20), search, plain, search / plain, markers, found);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const std::size_t blockBytes = mib << 20;
  const std::string code = program();

  std::string archive = randomBytes(blockBytes, 2);
  const std::string inner = kMeta + kInner + kArch;
  archive.replace(archive.size() - (1 << 20), inner.size(), inner);
  run("inner installer near the end", code + kMeta + kGood + kArch + archive);

  std::string damaged = kGood;
  damaged[0] = '[';
  run("no acceptable pair", code + kMeta + damaged + kArch + randomBytes(blockBytes, 3));

  auto repeated = [&](const std::string& piece) {
    std::string out;
    out.reserve(blockBytes + piece.size());
    while (out.size() < blockBytes) out += piece;
    return out;
  };
  run("markers each opening an object", code + repeated(kMeta + R"({"a":")"));
  run("pairs with an unknown channel", code + repeated(kMeta + kBeta + kArch));
  return 0;
}
