#pragma once
// The pieces every JSON record writer lays out by hand: string escaping, the
// byte-array form of text that is not valid UTF-8, and plain integers.
// Writers choose their own layout (minified or two-space) around them.
#include <cstdint>
#include <string>
#include <string_view>

namespace tl::json {

// True when `text` is not valid UTF-8 and must be written as an array of its
// byte values instead of a string.
bool needsByteArray(std::string_view text);

// Appends the escaped content of a string, without the quotes: '"' and '\'
// escaped, \b \f \n \r \t, other bytes below 0x20 as \u00xx (lowercase hex);
// every other byte ('/', 0x7F, bytes from 0x80) unchanged.
void appendEscaped(std::string& out, std::string_view text);

// Appends `text` as a quoted string.
void appendQuoted(std::string& out, std::string_view text);

// Appends the minified byte-array form: [104,105].
void appendByteArray(std::string& out, std::string_view bytes);

// Appends a string value in minified form: quoted when valid UTF-8, the
// byte array otherwise.
void appendString(std::string& out, std::string_view text);

// Appends an unsigned integer in plain decimal.
void appendUnsigned(std::string& out, std::uint64_t value);

}  // namespace tl::json
