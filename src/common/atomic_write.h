#pragma once
// Replaces a file's whole content in one step: the bytes go to a temporary
// file named with 16 random hexadecimal digits in the same folder, flushed to
// disk, then renamed over the target. The temporary file is deleted on
// failure, and the target is either old or new, never partial.
#include <functional>
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Whether `name` has the form of a temporary file of these writes (16
// lowercase hexadecimal digits, no extension): what a killed write leaves.
bool isAtomicTemporaryName(std::string_view name);

[[nodiscard]] Status writeFileAtomically(std::string_view path, std::string_view bytes);
// The same below an open folder, so no link in a path can move the write.
[[nodiscard]] Status writeFileAtomicallyAt(const fs::Dir& folder, std::string_view name, std::string_view bytes);
// The same for content too large to hold: fill writes it into the open
// temporary file (everything it writes must reach the file before it returns).
using AtomicFileFill = std::function<Status(fs::File& file)>;
[[nodiscard]] Status writeFileAtomicallyAt(const fs::Dir& folder, std::string_view name, const AtomicFileFill& fill);

// The order every replacement through a temporary file keeps: the file
// flushed and closed, then moved over its target by `rename` (by path or
// below a folder handle), so that a crash leaves the target old or new,
// never partial. The caller flushes the folder afterwards, without which the
// rename itself could be lost.
template <typename Rename>
[[nodiscard]] Status syncAndRename(fs::File& file, Rename&& rename) {
  TRY(fs::syncFile(file));
  file.close();
  return rename();
}

}  // namespace tl
