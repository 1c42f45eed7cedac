// Feeds arbitrary bytes to the tar reader in its recipe-only mode (no
// destination): it must end with a result or a named error, never crash,
// hang or read out of bounds.
//
// The first input byte chooses the mode: bit 0 repairs the checksum of every
// non-zero 512-byte block (so inputs get past the header check and reach the
// deeper rules), bit 1 passes the input's length as the expected size.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "archive/tar_reader.h"

namespace {

void repairChecksums(std::string& tar) {
  for (std::size_t at = 0; at + 512 <= tar.size(); at += 512) {
    std::uint32_t sum = 0;
    bool zero = true;
    for (std::size_t i = 0; i < 512; ++i) {
      const auto b = static_cast<unsigned char>(tar[at + i]);
      zero = zero && b == 0;
      sum += (i >= 148 && i < 156) ? 0x20u : b;
    }
    if (zero) continue;
    for (int i = 5; i >= 0; --i) {
      tar[at + 148 + static_cast<std::size_t>(i)] = static_cast<char>('0' + (sum & 7));
      sum >>= 3;
    }
    tar[at + 154] = '\0';
    tar[at + 155] = ' ';
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  std::string tar(reinterpret_cast<const char*>(data + 1), size - 1);
  if (mode & 1) repairChecksums(tar);
  std::optional<std::uint64_t> expected;
  if (mode & 2) expected = tar.size();
  tl::MemoryPullReader reader(tar);
  auto result = tl::extractTarArchive(reader, expected, nullptr);
  if (result.ok() && result->recipe.archive_size > tar.size()) __builtin_trap();
  return 0;
}
