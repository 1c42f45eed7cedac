#include "update/download/update_url.h"

#include "common/ascii_case.h"
#include "update/download/uri_reference.h"

namespace tl {

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

// Appends s with every byte that keep() refuses written as '%' and two
// uppercase hexadecimal digits.
template <typename Keep>
void appendPercentEncoded(std::string& out, std::string_view s, Keep keep) {
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (keep(c)) {
      out += ch;
    } else {
      out += '%';
      out += kUpperHex[c >> 4];
      out += kUpperHex[c & 15];
    }
  }
}

bool isLoopbackHost(std::string_view host) {
  if (const auto v4 = parseIpv4Address(host)) return (*v4)[0] == 127;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    const auto v6 = parseIpv6Address(host.substr(1, host.size() - 2));
    if (!v6) return false;
    for (std::size_t i = 0; i < 15; ++i) {
      if ((*v6)[i] != 0) return false;
    }
    return (*v6)[15] == 1;
  }
  return false;
}

Result<UpdateUrl> parseChecked(std::string_view text) {
  // 1. Length and bytes.
  if (text.empty() || text.size() > kMaxUpdateUrlLength || hasForbiddenUrlByte(text)) return Error::InvalidUpdateUrl;
  // 2. An absolute URI.
  std::optional<UriReference> ref = parseUriReference(text);
  if (!ref || !ref->scheme) return Error::InvalidUpdateUrl;
  // 3. No user, password or fragment; a port of 1 to 65535 when written.
  if (ref->fragment || !ref->authority) return Error::InvalidUpdateUrl;
  UriAuthority authority = splitUriAuthority(*ref->authority);
  if (authority.userinfo) return Error::InvalidUpdateUrl;
  UpdateUrl url;
  if (authority.port && !authority.port->empty()) {
    std::uint32_t port = 0;
    for (char c : *authority.port) {
      port = port * 10 + static_cast<std::uint32_t>(c - '0');
      if (port > 65535) return Error::InvalidUpdateUrl;
    }
    if (port == 0) return Error::InvalidUpdateUrl;
    url.port = static_cast<std::uint16_t>(port);
  }
  // 4. A host, not empty, without '%'.
  if (authority.host.empty() || authority.host.find('%') != std::string::npos) return Error::InvalidUpdateUrl;
  url.host = std::move(authority.host);
  url.path = std::move(ref->path);
  url.query = std::move(ref->query);
  // 5 to 7. https anywhere, http only to this machine.
  if (*ref->scheme == "https") {
    url.scheme = "https";
    return url;
  }
  if (*ref->scheme != "http") return Error::InsecureUpdateUrl;
  if (asciiEqualIgnoreCase(url.host, "localhost")) {
    url.host = "127.0.0.1";
  } else if (!isLoopbackHost(url.host)) {
    return Error::InsecureUpdateUrl;
  }
  url.scheme = "http";
  return url;
}

// scheme "://" authority path ["?" query], with the high bytes of path and
// query percent-encoded when asked.
Result<std::string> writeUrl(const UpdateUrl& url, bool encodeHighBytes) {
  std::string out = url.scheme + "://";
  out += TRY(updateUrlAuthority(url));
  const auto keep = [encodeHighBytes](unsigned char c) { return !encodeHighBytes || c < 0x80; };
  appendPercentEncoded(out, url.path, keep);
  if (url.query) {
    out += '?';
    appendPercentEncoded(out, *url.query, keep);
  }
  return out;
}

}  // namespace

bool hasForbiddenUrlByte(std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == '\\' || c == 0x7f) return true;
  }
  return false;
}

Result<UpdateUrl> parseUpdateUrl(std::string_view text) {
  UpdateUrl url = TRY(parseChecked(text));
  // The limit holds for what goes on the wire too: its high bytes take
  // three bytes each there, and a URL that could not be sent as it must
  // be is no URL to accept.
  if (TRY(writeUrl(url, true)).size() > kMaxUpdateUrlLength) return Error::InvalidUpdateUrl;
  return url;
}

Result<std::string> formatUpdateUrl(const UpdateUrl& url) { return writeUrl(url, false); }

Result<std::string> updateUrlForTransfer(const UpdateUrl& url) { return writeUrl(url, true); }

Result<std::string> updateUrlAuthority(const UpdateUrl& url) {
  std::string out = url.host;
  if (url.port) out += ":" + std::to_string(*url.port);
  return out;
}

Result<std::string> buildUpdateUrl(std::string_view base, std::string_view file, std::string_view token) {
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  std::string out(base);
  out += '/';
  appendPercentEncoded(out, file, [](unsigned char c) { return isUriUnreserved(static_cast<char>(c)); });
  out += "?cache=";
  out += token;
  return out;
}

}  // namespace tl
