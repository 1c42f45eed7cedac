#pragma once
// Opening a file below an open folder that must be a regular file: opened
// first (without following a link) and then checked by its handle, so the
// file checked is the file kept.
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// wrongKind when the name is there but is no regular file.
[[nodiscard]] Result<fs::File> openRegularFileAt(const fs::Dir& dir, std::string_view name, Error wrongKind);

}  // namespace tl
