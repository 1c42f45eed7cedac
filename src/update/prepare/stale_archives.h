#pragma once
// Cached archives of installed versions (<hash>.tar in self-extraction) that
// no later preparation can start from.
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Deletes every regular file in self-extraction named as a cached archive,
// except the one of `keepHash`. The first failed listing or delete ends the
// walk with its error; what was deleted stays deleted.
[[nodiscard]] Status removeStaleArchives(const fs::Dir& selfExtraction, std::string_view keepHash);

}  // namespace tl
