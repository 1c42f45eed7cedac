#pragma once
// Replaces a file's whole content in one step: the bytes go to a temporary
// file in the same folder, named after the target + ".tmp-" + 16 random
// lowercase hexadecimal digits, flushed to disk, then renamed over the
// target. The temporary file is deleted on failure, and the target is either
// old or new, never partial. A killed write leaves it, and the target's name
// in it is what tells it from a file of the user's beside it.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// What every temporary name of a replacement puts between the target's
// name and its own part.
inline constexpr std::string_view kTemporaryInfix = ".tmp-";

// target + ".tmp-" + the 16 lowercase hexadecimal digits of `random`.
std::string atomicTemporaryName(std::string_view target, std::uint64_t random);
// Exactly what atomicTemporaryName makes for `target`, byte for byte.
bool isAtomicTemporaryNameOf(std::string_view name, std::string_view target);
// A temporary file of these writes to any target, or the bare 16 digits that
// earlier versions named it: only for a folder where nothing but this
// program writes, since a user's file may well bear such a name.
bool isAtomicTemporaryName(std::string_view name);

// The temporary of a replacing copy (replaceFileAtomically): target + ".tmp-"
// + the process id + "-" + the process's count of such copies, in decimal.
std::string copyTemporaryName(std::string_view target, std::uint32_t processId, std::uint64_t count);
// Exactly that form for `target`, byte for byte (numbers without leading
// zeros, as the writer makes them).
bool isCopyTemporaryNameOf(std::string_view name, std::string_view target);

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
