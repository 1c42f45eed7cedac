#include "update/parent_process_wait.h"

#include "platform/io_context.h"
#include "platform/process_waiter.h"

namespace tl {

Status waitForParentProcess(std::uint32_t parentPid) {
  const process::ProcessWait w = io().processWaiter().waitForExit(parentPid, kParentWaitMs);
  if (!w.opened) {
    if (w.code == process::kErrorInvalidParameter) return success();
    return Error::ParentProcessWaitFailed;
  }
  if (w.code == process::kWaitObject0) return success();
  if (w.code == process::kWaitTimeout) return Error::ParentProcessWaitTimedOut;
  return Error::ParentProcessWaitFailed;
}

}  // namespace tl
