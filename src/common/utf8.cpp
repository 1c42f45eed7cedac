#include "common/utf8.h"

namespace tl {

bool isValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    const char32_t cp = decodeUtf8Sequence(p, n, i, len);
    if (cp == kNotUtf8Sequence || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace tl
