#pragma once
// Replaces a file's whole content in one step: the bytes go to a temporary
// file named with 16 random hexadecimal digits in the same folder, flushed to
// disk, then renamed over the target. The temporary file is deleted on
// failure, and the target is either old or new, never partial.
#include <string_view>

#include "common/result.h"

namespace tl {

[[nodiscard]] Status writeFileAtomically(std::string_view path, std::string_view bytes);

}  // namespace tl
