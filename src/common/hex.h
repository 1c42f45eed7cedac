#pragma once
// Hexadecimal text as the system writes it (lower case) and reads it (either
// case). The digit helpers are inline: archive literals decode through them
// byte by byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tl {

inline char lowerHexDigit(unsigned value) { return "0123456789abcdef"[value & 15]; }

// The digit's value, or -1 when c is not a hexadecimal digit of either case.
inline int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline bool isHexDigit(char c) { return hexDigitValue(c) >= 0; }
inline bool isLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Exactly n lowercase digits: the forms the system writes, read back with
// upper case refused.
inline bool isLowerHexOfLength(std::string_view text, std::size_t n) {
  return text.size() == n && std::all_of(text.begin(), text.end(), isLowerHexDigit);
}
// Exactly n digits of either case, where the system reads both.
inline bool isHexOfLength(std::string_view text, std::size_t n) {
  return text.size() == n && std::all_of(text.begin(), text.end(), isHexDigit);
}

// A 32-digit id: transaction ids and the names made from them.
inline bool isHexId32(std::string_view text) { return isLowerHexOfLength(text, 32); }
// A 32-digit install nonce as manifests and the clean-up copy accept it.
inline bool isHex32AnyCase(std::string_view text) { return isHexOfLength(text, 32); }

// Two lowercase digits a byte.
std::string toLowerHex(const std::uint8_t* bytes, std::size_t n);
// Lowercase hexadecimal without leading zeros ("0" for zero).
std::string hexNoLeadingZeros(std::uint64_t value);

}  // namespace tl
