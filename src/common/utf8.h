#pragma once
// Strict UTF-8 checking and the one sequence decoder that WTF-8 builds on.
#include <cstddef>
#include <string_view>

namespace tl {

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above
// U+10FFFF, no truncated sequence.
bool isValidUtf8(std::string_view bytes);

inline constexpr char32_t kNotUtf8Sequence = 0xFFFFFFFFu;

// Decodes the one sequence at p[i] (i < n) by the rules above except that
// surrogate code points pass, so that WTF-8 can build on it. Returns
// kNotUtf8Sequence when the bytes there do not form one; len is the number of
// bytes consumed otherwise. Inline: every archive path and JSON string is
// checked through it.
inline char32_t decodeUtf8Sequence(const unsigned char* p, std::size_t n, std::size_t i, std::size_t& len) {
  const unsigned char c = p[i];
  if (c < 0x80) {
    len = 1;
    return c;
  }
  char32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07u;
  } else {
    return kNotUtf8Sequence;  // continuation byte, C0/C1 overlong lead, or F5..FF
  }
  if (n - i < len) return kNotUtf8Sequence;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char cc = p[i + k];
    if ((cc & 0xC0) != 0x80) return kNotUtf8Sequence;
    cp = (cp << 6) | (cc & 0x3Fu);
  }
  if (len == 3 && cp < 0x800) return kNotUtf8Sequence;
  if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return kNotUtf8Sequence;
  return cp;
}

}  // namespace tl
