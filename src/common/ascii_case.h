#pragma once
// ASCII case folding, the only folding Windows names and variable names get
// here: bytes outside A-Z (UTF-8 sequences included) compare as they are.
// Inline, because name lookups fold byte by byte on hot paths.
#include <cstddef>
#include <string>
#include <string_view>

namespace tl {

inline char asciiLowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool asciiEqualIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLowerChar(a[i]) != asciiLowerChar(b[i])) return false;
  }
  return true;
}

inline std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = asciiLowerChar(c);
  return out;
}

}  // namespace tl
