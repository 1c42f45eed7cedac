#include "update/download/uri_reference.h"

#include "common/hex.h"

namespace tl {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHigh(char c) { return static_cast<unsigned char>(c) >= 0x80; }

bool isSubDelim(char c) {
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')':
    case '*': case '+': case ',': case ';': case '=':
      return true;
    default:
      return false;
  }
}

// True when every byte is unreserved, a sub-delim, one of `extra`, a
// high byte, or starts a complete percent-escape.
bool allowedRun(std::string_view s, std::string_view extra) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (isUriUnreserved(c) || isSubDelim(c) || isHigh(c) || extra.find(c) != std::string_view::npos) continue;
    if (c == '%' && i + 2 < s.size() && isHexDigit(s[i + 1]) && isHexDigit(s[i + 2])) {
      i += 2;
      continue;
    }
    return false;
  }
  return true;
}

bool validScheme(std::string_view s) {
  if (s.empty() || !isAlpha(s[0])) return false;
  for (char c : s) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" )
bool validIpFuture(std::string_view s) {
  if (s.size() < 4 || (s[0] != 'v' && s[0] != 'V')) return false;
  std::size_t i = 1;
  while (i < s.size() && isHexDigit(s[i])) ++i;
  if (i == 1 || i >= s.size() || s[i] != '.') return false;
  const std::string_view rest = s.substr(i + 1);
  if (rest.empty()) return false;
  for (char c : rest) {
    if (!isUriUnreserved(c) && !isSubDelim(c) && c != ':') return false;
  }
  return true;
}

bool validAuthority(std::string_view a) {
  const std::size_t at = a.find('@');
  if (at != std::string_view::npos) {
    if (!allowedRun(a.substr(0, at), ":")) return false;
    a.remove_prefix(at + 1);
  }
  std::string_view host = a;
  std::string_view port;
  bool hasPort = false;
  if (!a.empty() && a[0] == '[') {
    const std::size_t close = a.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view literal = a.substr(1, close - 1);
    if (!parseIpv6Address(literal) && !validIpFuture(literal)) return false;
    host = a.substr(0, close + 1);
    const std::string_view after = a.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return false;
      hasPort = true;
      port = after.substr(1);
    }
  } else {
    const std::size_t colon = a.find(':');
    if (colon != std::string_view::npos) {
      host = a.substr(0, colon);
      hasPort = true;
      port = a.substr(colon + 1);
    }
    if (!allowedRun(host, "")) return false;
  }
  if (hasPort) {
    for (char c : port) {
      if (!isDigit(c)) return false;
    }
  }
  return true;
}

bool validPath(std::string_view p) { return allowedRun(p, ":@/"); }
bool validQuery(std::string_view q) { return allowedRun(q, ":@/?"); }

// Section 5.2.4.
std::string removeDotSegments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.substr(0, 3) == "../") {
      in.remove_prefix(3);
    } else if (in.substr(0, 2) == "./") {
      in.remove_prefix(2);
    } else if (in.substr(0, 3) == "/./") {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.substr(0, 4) == "/../" || in == "/..") {
      in = in.size() == 3 ? std::string_view("/") : in.substr(3);
      const std::size_t cut = out.rfind('/');
      out.erase(cut == std::string::npos ? 0 : cut);
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      const std::size_t next = in.find('/', 1);
      const std::size_t take = next == std::string_view::npos ? in.size() : next;
      out.append(in.substr(0, take));
      in.remove_prefix(take);
    }
  }
  return out;
}

// Section 5.2.3.
std::string mergePaths(const UriReference& base, std::string_view refPath) {
  if (base.authority && base.path.empty()) return "/" + std::string(refPath);
  const std::size_t slash = base.path.rfind('/');
  if (slash == std::string::npos) return std::string(refPath);
  return base.path.substr(0, slash + 1) + std::string(refPath);
}

}  // namespace

bool isUriUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

std::optional<UriReference> parseUriReference(std::string_view text) {
  UriReference r;
  // Appendix B: scheme, authority, path, query, fragment, each delimited by
  // the first byte of the next.
  const std::size_t schemeEnd = text.find_first_of(":/?#");
  if (schemeEnd != std::string_view::npos && text[schemeEnd] == ':' && validScheme(text.substr(0, schemeEnd))) {
    r.scheme = std::string(text.substr(0, schemeEnd));
    text.remove_prefix(schemeEnd + 1);
  }
  if (text.substr(0, 2) == "//") {
    text.remove_prefix(2);
    const std::size_t end = text.find_first_of("/?#");
    const std::string_view authority = text.substr(0, end);
    if (!validAuthority(authority)) return std::nullopt;
    r.authority = std::string(authority);
    text.remove_prefix(authority.size());
  }
  const std::size_t pathEnd = text.find_first_of("?#");
  const std::string_view path = text.substr(0, pathEnd);
  if (!validPath(path)) return std::nullopt;
  // A relative path's first segment holds no ':' (it would read as a scheme).
  if (!r.scheme && !r.authority) {
    const std::string_view first = path.substr(0, path.find('/'));
    if (first.find(':') != std::string_view::npos) return std::nullopt;
  }
  r.path = std::string(path);
  text.remove_prefix(path.size());
  if (!text.empty() && text[0] == '?') {
    const std::size_t hash = text.find('#');
    const std::string_view query = text.substr(1, hash == std::string_view::npos ? hash : hash - 1);
    if (!validQuery(query)) return std::nullopt;
    r.query = std::string(query);
    text.remove_prefix(query.size() + 1);
  }
  if (!text.empty()) {  // text[0] == '#'
    const std::string_view fragment = text.substr(1);
    if (!validQuery(fragment)) return std::nullopt;
    r.fragment = std::string(fragment);
  }
  return r;
}

UriAuthority splitUriAuthority(std::string_view a) {
  UriAuthority out;
  const std::size_t at = a.find('@');
  if (at != std::string_view::npos) {
    out.userinfo = std::string(a.substr(0, at));
    a.remove_prefix(at + 1);
  }
  const std::size_t hostEnd = !a.empty() && a[0] == '[' ? a.find(']') + 1 : a.find(':');
  out.host = std::string(a.substr(0, hostEnd));
  if (hostEnd < a.size()) out.port = std::string(a.substr(hostEnd + 1));
  return out;
}

UriReference resolveUriReference(const UriReference& base, const UriReference& ref) {
  UriReference t;
  if (ref.scheme) {
    t.scheme = ref.scheme;
    t.authority = ref.authority;
    t.path = removeDotSegments(ref.path);
    t.query = ref.query;
  } else {
    if (ref.authority) {
      t.authority = ref.authority;
      t.path = removeDotSegments(ref.path);
      t.query = ref.query;
    } else {
      if (ref.path.empty()) {
        t.path = base.path;
        t.query = ref.query ? ref.query : base.query;
      } else {
        t.path = removeDotSegments(ref.path[0] == '/' ? ref.path : mergePaths(base, ref.path));
        t.query = ref.query;
      }
      t.authority = base.authority;
    }
    t.scheme = base.scheme;
  }
  t.fragment = ref.fragment;
  return t;
}

std::string recomposeUri(const UriReference& r) {
  std::string out;
  if (r.scheme) out += *r.scheme + ":";
  if (r.authority) out += "//" + *r.authority;
  out += r.path;
  if (r.query) out += "?" + *r.query;
  if (r.fragment) out += "#" + *r.fragment;
  return out;
}

std::optional<std::array<std::uint8_t, 4>> parseIpv4Address(std::string_view text) {
  std::array<std::uint8_t, 4> out{};
  for (std::size_t part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text[0] != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    std::size_t digits = 0;
    unsigned value = 0;
    while (digits < text.size() && digits < 4 && isDigit(text[digits])) {
      value = value * 10 + static_cast<unsigned>(text[digits] - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[0] == '0')) return std::nullopt;
    out[part] = static_cast<std::uint8_t>(value);
    text.remove_prefix(digits);
  }
  if (!text.empty()) return std::nullopt;
  return out;
}

std::optional<std::array<std::uint8_t, 16>> parseIpv6Address(std::string_view text) {
  // Pieces of 16 bits before and after a "::"; the last 32 bits may be
  // written as an IPv4address.
  std::array<std::uint16_t, 8> head{}, tail{};
  std::size_t nHead = 0, nTail = 0;
  bool compressed = false;
  if (text.substr(0, 2) == "::") {
    compressed = true;
    text.remove_prefix(2);
  } else if (!text.empty() && text[0] == ':') {
    return std::nullopt;
  }
  while (!text.empty()) {
    std::size_t& n = compressed ? nTail : nHead;
    std::array<std::uint16_t, 8>& pieces = compressed ? tail : head;
    const std::size_t end = text.find(':');
    const std::string_view piece = text.substr(0, end);
    if (piece.find('.') != std::string_view::npos) {
      // The IPv4 form ends the address.
      if (end != std::string_view::npos || nHead + nTail + 2 > 8) return std::nullopt;
      const auto v4 = parseIpv4Address(piece);
      if (!v4) return std::nullopt;
      pieces[n++] = static_cast<std::uint16_t>((*v4)[0] << 8 | (*v4)[1]);
      pieces[n++] = static_cast<std::uint16_t>((*v4)[2] << 8 | (*v4)[3]);
      text = {};
      break;
    }
    if (piece.empty() || piece.size() > 4 || nHead + nTail >= 8) return std::nullopt;
    unsigned value = 0;
    for (char c : piece) {
      if (!isHexDigit(c)) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(hexDigitValue(c));
    }
    pieces[n++] = static_cast<std::uint16_t>(value);
    if (end == std::string_view::npos) {
      text = {};
    } else if (text.substr(end, 2) == "::") {
      if (compressed) return std::nullopt;
      compressed = true;
      text.remove_prefix(end + 2);
    } else {
      text.remove_prefix(end + 1);
      if (text.empty()) return std::nullopt;  // a trailing single ':'
    }
  }
  const std::size_t total = nHead + nTail;
  if (compressed ? total > 7 : total != 8) return std::nullopt;
  std::array<std::uint16_t, 8> all{};
  for (std::size_t i = 0; i < nHead; ++i) all[i] = head[i];
  for (std::size_t i = 0; i < nTail; ++i) all[8 - nTail + i] = tail[i];
  std::array<std::uint8_t, 16> out{};
  for (std::size_t i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(all[i] >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(all[i] & 0xff);
  }
  return out;
}

}  // namespace tl
