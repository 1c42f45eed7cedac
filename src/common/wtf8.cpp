#include "common/wtf8.h"

#include <cstdint>

#include "common/utf8.h"

namespace tl {

namespace {

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void appendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<char16_t>(cp);
  }
}

char16_t escapeOf(unsigned char b) { return static_cast<char16_t>(0xDC00 + b); }

// Appends escapes for raw bytes. Escapes are low surrogates, so lone high
// surrogates at the end of out would pair with them; those are escaped
// (byte by byte) first.
void appendEscapes(std::u16string& out, std::string_view raw) {
  std::size_t firstHigh = out.size();
  while (firstHigh > 0 && isHighSurrogate(out[firstHigh - 1])) --firstHigh;
  if (firstHigh < out.size()) {
    std::u16string highs = out.substr(firstHigh);
    out.resize(firstHigh);
    for (char16_t h : highs) {
      out += escapeOf(0xED);
      out += escapeOf(static_cast<unsigned char>(0x80 | ((h >> 6) & 0x3F)));
      out += escapeOf(static_cast<unsigned char>(0x80 | (h & 0x3F)));
    }
  }
  for (char b : raw) out += escapeOf(static_cast<unsigned char>(b));
}

// The strict decoder; out may be null when only validity is wanted.
bool decodeStrict(std::string_view bytes, std::u16string* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  bool afterHigh = false;
  for (std::size_t i = 0; i < n;) {
    std::size_t len = 0;
    char32_t cp = decodeUtf8Sequence(p, n, i, len);
    if (cp == kNotUtf8Sequence) return false;
    if (afterHigh && isLowSurrogate(cp)) return false;
    afterHigh = isHighSurrogate(cp);
    if (out) appendUtf16(*out, cp);
    i += len;
  }
  return true;
}

}  // namespace

Result<std::u16string> wtf8ToUtf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  if (!decodeStrict(bytes, &out)) return Error::InvalidWtf8;
  return out;
}

bool isValidWtf8(std::string_view bytes) { return decodeStrict(bytes, nullptr); }

void appendWtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string utf16ToWtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 2 + 1);
  std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    char32_t cp = text[i];
    if (isHighSurrogate(cp) && i + 1 < n && isLowSurrogate(text[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    appendWtf8(out, cp);
  }
  return out;
}

std::u16string hostBytesToUtf16(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::u16string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n;) {
    std::size_t len = 0;
    char32_t cp = decodeUtf8Sequence(p, n, i, len);
    if (cp == kNotUtf8Sequence) {
      appendEscapes(out, bytes.substr(i, 1));
      ++i;
      continue;
    }
    bool pairsWithPrevious = !out.empty() && isHighSurrogate(out.back());
    if (isLowSurrogate(cp) && (pairsWithPrevious || (cp >= 0xDC80 && cp <= 0xDCFF))) {
      // An encoded surrogate pair is not WTF-8, and an encoded escape would
      // read as the byte it stands for: keep such sequences as bytes.
      appendEscapes(out, bytes.substr(i, len));
    } else {
      appendUtf16(out, cp);
    }
    i += len;
  }
  return out;
}

}  // namespace tl
