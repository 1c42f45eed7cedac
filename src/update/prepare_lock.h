#pragma once
// One preparation per channel root: an exclusive lock of the first byte of
// <channel root>\.tamberlock-prepare.lock, tried once and never waited for.
// The file is made once and never deleted; the lock goes with its handle.
#include <string_view>

#include "common/install_layout.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Creates the lock file in the channel root, or opens the one an earlier run
// left (read-write: a write lock needs it), and locks its first byte.
// Anything but a regular file under the name is InvalidUpdateLock; a lock
// held by another run (another process, or another open in this one) is
// UpdatePreparationBusy at once. The returned handle holds the lock.
[[nodiscard]] Result<fs::File> takePrepareLock(const fs::Dir& channelRoot);

}  // namespace tl
