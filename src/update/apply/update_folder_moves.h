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

// Sets whatever folder stands at target aside (a free name on the same
// volume) and renames replacement to target, each with the swap's retries;
// then deletes the aside tree. A missing target has nothing to set aside; a
// target that is not a folder is InvalidUpdatePath. A failure leaves a whole folder at target, or target
// missing and replacement whole.
[[nodiscard]] Status setAsideAndRestore(std::string_view target, std::string_view replacement,
                                        std::string_view aside);

}  // namespace tl
