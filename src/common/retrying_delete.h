#pragma once
// Deletions that wait out a file held open for a while (an exiting program,
// a virus scanner), pausing on the IoContext clock between attempts.
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// The file or folder tree name below dir; missing counts as done. Up to 60
// attempts, 500 ms apart; the last attempt's error.
[[nodiscard]] Status deleteTreeWithRetries(const fs::Dir& dir, std::string_view name);
// One file below dir; missing (FileNotFound, NotDir) counts as done. Up to 20
// attempts, 250 ms apart.
[[nodiscard]] Status deleteFileWithRetries(const fs::Dir& dir, std::string_view name);

}  // namespace tl
