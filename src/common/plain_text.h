#pragma once
// The rule for short texts that records carry and windows or file names
// show: names, versions, display names.
#include <cstddef>
#include <string_view>

namespace tl {

// 1 to maxBytes bytes, none of them a control byte (0x00-0x1F) or DEL.
inline bool isPlainText(std::string_view text, std::size_t maxBytes) {
  if (text.empty() || text.size() > maxBytes) return false;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return false;
  }
  return true;
}

}  // namespace tl
