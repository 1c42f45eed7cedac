#pragma once
// The update is applied by a copy of this program that the application's
// updater placed in the temporary folder as tamberlock-update-<id>.exe.
// Before anything is deleted on a plan's behalf (the plan, the scheduled
// task, the copy itself), the running program confirms that it is that copy.
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

// Returns the running executable's path when its final component is
// exactly "tamberlock-update-" + transactionId + ".exe" (letter case
// included), it is an existing regular file, and it lies directly in the
// temporary folder. Errors, in the order checked: the path query's own,
// InvalidUpdatePlan (transactionId not 32 lowercase hex digits),
// InvalidUpdateHelper (the name), InvalidUpdatePath (no regular file), the
// temporary-folder rule's (requireInTempDir).
[[nodiscard]] Result<std::string> verifyUpdateHelperPath(std::string_view transactionId);

}  // namespace tl
