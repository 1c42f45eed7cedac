#pragma once
// WTF-8: UTF-8 extended so that an unpaired UTF-16 surrogate survives as its
// own three-byte sequence. It is how Windows names that are not valid UTF-16
// travel through the system as byte strings.
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

// Strict decoding: no overlong forms, nothing above U+10FFFF, no truncated
// sequence, and no encoded surrogate pair (a pair must be written as one
// four-byte sequence). Lone encoded surrogates are accepted. InvalidWtf8
// otherwise.
[[nodiscard]] Result<std::u16string> wtf8ToUtf16(std::string_view bytes);
// Never fails: pairs become four-byte sequences, unpaired surrogates three.
std::string utf16ToWtf8(std::u16string_view text);
bool isValidWtf8(std::string_view bytes);
// Appends one code point up to U+10FFFF; a surrogate code point takes three
// bytes.
void appendWtf8(std::string& out, char32_t cp);

// Decodes host bytes (a POSIX argument or file name) as well as possible:
// valid WTF-8 is decoded as such; every byte that is not part of a valid
// sequence becomes the lone low surrogate U+DC00 + byte (U+DC80..U+DCFF), as
// Python's "surrogateescape" does, so distinct inputs stay distinct. For the
// same reason an encoded U+DC80..U+DCFF is escaped byte by byte, and a lone
// high surrogate is never left directly before a low one (the two would read
// as a pair): its three bytes are escaped too.
std::u16string hostBytesToUtf16(std::string_view bytes);

}  // namespace tl
