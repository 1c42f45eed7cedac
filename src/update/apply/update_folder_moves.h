#pragma once
// The folder moves of an update swap and its rollback. Renames are retried
// because the old application's files may stay open for a while after its
// process ends; every pause is on the IoContext clock.
#include <cstdint>
#include <string_view>

#include "common/result.h"

namespace tl {

inline constexpr int kSwapRenameAttempts = 60;
inline constexpr std::uint64_t kSwapRenamePauseMs = 500;

// Deletes the tree when path is a folder itself (not a link to one); does
// nothing and reports nothing when it is missing, anything else, or the
// deletion fails.
void deleteTreeIfDirectory(std::string_view path);

// fs::rename, up to 60 attempts 500 ms apart; the last failure.
[[nodiscard]] Status renameWithRetries(std::string_view from, std::string_view to);

// Puts replacement back at target. First whatever folder stands at target is
// renamed to aside (a free name on the same volume), up to 60 attempts 500 ms
// apart: a missing target (FileNotFound, NotDir) is done, a target that is
// not a folder is retried and in the end InvalidUpdatePath. Then replacement
// is renamed to target with the same retries, and the aside tree deleted.
// Nothing is deleted before both renames have succeeded, so a failure
// leaves a whole folder at target, or target missing and replacement whole.
[[nodiscard]] Status removeDirectoryWithRetries(std::string_view target, std::string_view replacement,
                                                std::string_view aside);

}  // namespace tl
