#pragma once
// Matching a PowerShell script against the system's template: byte for byte
// outside the single-quoted literal slots, and inside a slot PowerShell's own
// rules for a single-quoted string.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// In a template, kSlot followed by a digit ('0'..'9') marks where the content
// of a literal stands; the template's own text around it holds the quotes.
// The same slot may appear more than once; every occurrence must then carry
// the same text.
inline constexpr char kSlot = '\x01';

struct TemplateMatch {
  bool ok = false;
  std::vector<std::string> values;  // decoded literal contents, by slot number
  std::size_t failedAt = 0;         // script offset where matching stopped
  std::string why;
};

TemplateMatch matchTemplate(std::string_view script, std::string_view templ);

// The length of the quote character at `pos` (0x27, or U+2018..U+201B in
// UTF-8), 0 when there is none.
std::size_t quoteCharLength(std::string_view s, std::size_t pos);

}  // namespace standin
