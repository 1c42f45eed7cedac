#include "text.h"

#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <cstdlib>

namespace standin {

namespace {

// A byte that starts no valid UTF-8 sequence decodes to this range, so that it
// survives a round trip and never equals a real character.
constexpr char32_t kRawByteBase = 0x110000;

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

locale_t unicodeLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return l ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  }();
  return loc;
}

constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = asciiLower(c);
  return out;
}

bool equalsAsciiIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

bool startsWithAsciiIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && equalsAsciiIgnoreCase(s.substr(0, prefix.size()), prefix);
}

bool endsWithAsciiIgnoreCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         equalsAsciiIgnoreCase(s.substr(s.size() - suffix.size()), suffix);
}

std::vector<char32_t> decodeUtf8(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    bool ok = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms and values past U+10FFFF are not characters; surrogates
    // are kept (WTF-8).
    if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))) {
      ok = false;
    }
    if (!ok) {
      out.push_back(kRawByteBase + b0);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += len;
  }
  return out;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp >= kRawByteBase) {
    out += static_cast<char>(cp - kRawByteBase);
  } else if (cp < 0x80) {
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

std::string upperInvariant(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t cp : decodeUtf8(s)) {
    if (cp < 0x80) {
      if (cp >= 'a' && cp <= 'z') cp -= 0x20;
    } else if (cp < 0x10000 && (cp < 0xD800 || cp > 0xDFFF)) {
      auto up = static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), unicodeLocale()));
      // A mapping that leaves the basic plane would not fit one UTF-16 unit.
      if (up < 0x10000) cp = up;
    }
    appendUtf8(out, cp);
  }
  return out;
}

bool equalsOrdinalIgnoreCase(std::string_view a, std::string_view b) {
  return upperInvariant(a) == upperInvariant(b);
}

bool startsWithOrdinalIgnoreCase(std::string_view s, std::string_view prefix) {
  std::vector<char32_t> cs = decodeUtf8(upperInvariant(s));
  std::vector<char32_t> cp = decodeUtf8(upperInvariant(prefix));
  if (cp.size() > cs.size()) return false;
  for (std::size_t i = 0; i < cp.size(); ++i) {
    if (cs[i] != cp[i]) return false;
  }
  return true;
}

std::string cp437ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      appendUtf8(out, kCp437High[b - 0x80]);
    }
  }
  return out;
}

std::string escapeField(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (c == '%' || b < 0x20 || b == 0x7F) {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

bool unescapeField(std::string_view s, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    int hi = hexValue(s[i + 1]);
    int lo = hexValue(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

std::vector<std::string_view> splitTabs(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (true) {
    std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      out.push_back(line.substr(start));
      return out;
    }
    out.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

bool parseInt64(std::string_view s, std::int64_t& out) {
  if (s.empty() || s.size() > 20) return false;
  std::string tmp(s);
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(tmp.c_str(), &end, 10);
  if (errno != 0 || end != tmp.c_str() + tmp.size()) return false;
  // strtoll takes leading spaces and '+'; a strict field does not.
  if (tmp[0] != '-' && (tmp[0] < '0' || tmp[0] > '9')) return false;
  out = v;
  return true;
}

}  // namespace standin
