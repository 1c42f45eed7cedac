#pragma once
// The URLs an update is downloaded from: which are accepted (parseUpdateUrl),
// how a file's URL is formed (buildUpdateUrl), and the text handed to the
// HTTP client, which is always rebuilt from the checked parts and never the
// text as it came in. Allocation failures throw std::bad_alloc, caught where
// the road begins.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

struct UpdateUrl {
  std::string scheme;  // "https", or "http" to a loopback host
  // Never empty, no '%'. "localhost" over http reads "127.0.0.1"; an IPv6
  // literal keeps its brackets ("[::1]").
  std::string host;
  std::optional<std::uint16_t> port;  // 1 to 65535 when written
  std::string path;                   // as written: empty or beginning with '/'
  std::optional<std::string> query;
  bool operator==(const UpdateUrl&) const = default;
};

inline constexpr std::size_t kMaxUpdateUrlLength = 8192;

// Space, control bytes, '\\' and 0x7F: never in an update URL or a
// redirect's Location.
bool hasForbiddenUrlByte(std::string_view text);

// InvalidUpdateUrl, InsecureUpdateUrl. Both the text and the
// form handed to the HTTP client (updateUrlForTransfer) are at most
// kMaxUpdateUrlLength bytes, so an accepted URL always writes out and
// parses back.
[[nodiscard]] Result<UpdateUrl> parseUpdateUrl(std::string_view text);

// The URL as text: scheme "://" host [":" port] path ["?" query]. Parsing it
// again gives the same parts.
[[nodiscard]] Result<std::string> formatUpdateUrl(const UpdateUrl& url);
// The same with the bytes from 0x80 up of path and query percent-encoded,
// as an HTTP request line must carry them: what the HTTP client is given.
[[nodiscard]] Result<std::string> updateUrlForTransfer(const UpdateUrl& url);
// "host[:port]": the URL's authority, and what the request's host header
// carries.
[[nodiscard]] Result<std::string> updateUrlAuthority(const UpdateUrl& url);

// "<base>/<file>?cache=<token>": base without its trailing '/', the file
// name percent-encoded, the token as it is.
[[nodiscard]] Result<std::string> buildUpdateUrl(std::string_view base, std::string_view file,
                                                 std::string_view token);

}  // namespace tl
