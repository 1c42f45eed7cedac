#include "common/json_writer.h"

#include <charconv>

#include "common/hex.h"
#include "common/utf8.h"

namespace tl::json {

namespace {

// 0: written as is; 'u': \u00xx; otherwise the letter after the backslash.
constexpr char escapeOf(unsigned char c) {
  switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case 0x08: return 'b';
    case 0x0C: return 'f';
    case 0x0A: return 'n';
    case 0x0D: return 'r';
    case 0x09: return 't';
    default: return c < 0x20 ? 'u' : 0;
  }
}

}  // namespace

bool needsByteArray(std::string_view text) { return !isValidUtf8(text); }

void appendEscaped(std::string& out, std::string_view text) {
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const char e = escapeOf(c);
    if (e == 0) continue;
    out.append(text.data() + runStart, i - runStart);
    runStart = i + 1;
    if (e == 'u') {
      const char u[] = {'\\', 'u', '0', '0', lowerHexDigit(c >> 4), lowerHexDigit(c)};
      out.append(u, sizeof u);
    } else {
      const char u[] = {'\\', e};
      out.append(u, sizeof u);
    }
  }
  out.append(text.data() + runStart, text.size() - runStart);
}

void appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  appendEscaped(out, text);
  out.push_back('"');
}

void appendByteArray(std::string& out, std::string_view bytes) {
  out.push_back('[');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out.push_back(',');
    appendUnsigned(out, static_cast<unsigned char>(bytes[i]));
  }
  out.push_back(']');
}

void appendString(std::string& out, std::string_view text) {
  if (needsByteArray(text)) {
    appendByteArray(out, text);
  } else {
    appendQuoted(out, text);
  }
}

void appendUnsigned(std::string& out, std::uint64_t value) {
  char buf[20];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

}  // namespace tl::json
