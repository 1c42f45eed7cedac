#pragma once
// The wait for the application process that started an update: the update
// transaction waits for it before the swap, and after a failure the
// previous version is relaunched only once it has ended.
#include <cstdint>

#include "common/result.h"

namespace tl {

inline constexpr std::uint32_t kParentWaitMs = 120000;

// Waits up to 120 seconds (through io().processWaiter()) for the process
// to end. Success when it ended or no process has the id;
// ParentProcessWaitTimedOut when it still runs; ParentProcessWaitFailed when
// it cannot be opened for another reason or the wait fails.
[[nodiscard]] Status waitForParentProcess(std::uint32_t parentPid);

}  // namespace tl
