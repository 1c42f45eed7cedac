#pragma once
// Text helpers shared by the roles: UTF-8 code points, ASCII and ordinal
// case-insensitive comparison, and the OEM code page cmd.exe reads scripts in.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

std::string lowerAscii(std::string_view s);
bool equalsAsciiIgnoreCase(std::string_view a, std::string_view b);
bool startsWithAsciiIgnoreCase(std::string_view s, std::string_view prefix);
bool endsWithAsciiIgnoreCase(std::string_view s, std::string_view suffix);

// Code points of WTF-8 text; a byte that starts no valid sequence stands for
// itself (U+0080..U+00FF are never confused with it because callers only
// compare and upper-case).
std::vector<char32_t> decodeUtf8(std::string_view s);
void appendUtf8(std::string& out, char32_t cp);

// .NET's OrdinalIgnoreCase: each UTF-16 unit mapped to its invariant upper
// case, then compared ordinally. Supplementary characters are not mapped.
std::string upperInvariant(std::string_view s);
bool equalsOrdinalIgnoreCase(std::string_view a, std::string_view b);
bool startsWithOrdinalIgnoreCase(std::string_view s, std::string_view prefix);

// Bytes read in code page 437, as cmd.exe reads a script on an OEM console.
std::string cp437ToUtf8(std::string_view bytes);

// Field escaping for the state files: '%', TAB, CR, LF and other control
// bytes as %XX, everything else verbatim.
std::string escapeField(std::string_view s);
// Returns false on a malformed escape.
bool unescapeField(std::string_view s, std::string& out);
std::vector<std::string_view> splitTabs(std::string_view line);

// Strict decimal parsing of a whole string.
bool parseInt64(std::string_view s, std::int64_t& out);

}  // namespace standin
