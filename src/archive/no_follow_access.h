#pragma once
// Reaching files below an open root folder by archive path, one component at
// a time, never following a link, so a link planted in the tree cannot
// redirect a read or write outside it.
#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Moves `current` one folder down to `component`, creating it first when
// asked (an existing folder is fine). A link planted as the folder opens as
// itself and is refused (NotDir), so nothing below it is ever reached.
[[nodiscard]] Status descendNoFollow(fs::Dir& current, std::string_view component, bool create);

[[nodiscard]] Result<fs::Dir> openArchiveParentDir(const fs::Dir& root, std::string_view path, bool create);
[[nodiscard]] Result<fs::File> openArchiveFile(const fs::Dir& root, std::string_view path);
[[nodiscard]] Result<std::string> readArchiveFile(const fs::Dir& root, std::string_view path, std::size_t cap);

}  // namespace tl
