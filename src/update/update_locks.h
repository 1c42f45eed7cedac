#pragma once
// One preparation and one application at a time per channel root: an
// exclusive lock of the first byte of a lock file in the channel root, tried
// once and never waited for. The files are made once and never deleted by
// the runs; a lock goes with its handle, and with its holder's death.
#include <string_view>

#include "common/install_layout.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Each creates its lock file in the channel root, or opens the one an
// earlier run left (read-write: a write lock needs it), and locks its first
// byte. Anything but a regular file under the name is InvalidUpdateLock; a
// lock held by another run (another process, or another open in this one)
// is the lock's busy error at once. The returned handle holds the lock.

// The preparation's lock (.tamberlock-prepare.lock); UpdatePreparationBusy.
[[nodiscard]] Result<fs::File> takePrepareLock(const fs::Dir& channelRoot);

// The update application's lock (.tamberlock-apply.lock);
// UpdateApplicationBusy.
[[nodiscard]] Result<fs::File> takeApplyLock(const fs::Dir& channelRoot);

}  // namespace tl
