#include "common/hex.h"

namespace tl {

std::string toLowerHex(const std::uint8_t* bytes, std::size_t n) {
  std::string s(n * 2, '0');
  for (std::size_t i = 0; i < n; ++i) {
    s[2 * i] = lowerHexDigit(bytes[i] >> 4);
    s[2 * i + 1] = lowerHexDigit(bytes[i]);
  }
  return s;
}

std::string hexNoLeadingZeros(std::uint64_t value) {
  char buf[16];
  std::size_t start = sizeof buf;
  do {
    buf[--start] = lowerHexDigit(static_cast<unsigned>(value & 15));
    value >>= 4;
  } while (value != 0);
  return std::string(buf + start, sizeof buf - start);
}

}  // namespace tl
