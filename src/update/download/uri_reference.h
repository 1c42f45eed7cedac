#pragma once
// URI references by the generic syntax of RFC 3986: splitting and checking
// (section 3 and 4.1), resolution against a base (section 5.2) and writing
// out again (section 5.3). Bytes from 0x80 up count as data wherever the
// grammar allows a character, so that text with UTF-8 in it is taken as
// written. Pure text handling: nothing here decodes percent-escapes.
//
// Allocation failures throw std::bad_alloc; callers turn them into
// OutOfMemory.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tl {

struct UriReference {
  std::optional<std::string> scheme;
  std::optional<std::string> authority;  // the text between "//" and the path
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

struct UriAuthority {
  std::optional<std::string> userinfo;
  std::string host;                 // as written; an IP literal keeps its brackets
  std::optional<std::string> port;  // the digits as written, possibly none
};

// ALPHA / DIGIT / "-" / "." / "_" / "~": the bytes that never need escaping.
bool isUriUnreserved(char c);

// A URI-reference (an absolute URI or a relative reference); nullopt when the
// text breaks the grammar.
std::optional<UriReference> parseUriReference(std::string_view text);
// The parts of an authority that parseUriReference accepted.
UriAuthority splitUriAuthority(std::string_view authority);
// The target of ref against base (base has a scheme), dot segments removed.
UriReference resolveUriReference(const UriReference& base, const UriReference& ref);
std::string recomposeUri(const UriReference& ref);

// dec-octet "." dec-octet "." dec-octet "." dec-octet, no leading zeros:
// the four octets.
std::optional<std::array<std::uint8_t, 4>> parseIpv4Address(std::string_view text);
// An IPv6address of the grammar (without brackets): its sixteen bytes.
std::optional<std::array<std::uint8_t, 16>> parseIpv6Address(std::string_view text);

}  // namespace tl
