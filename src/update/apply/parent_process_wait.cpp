#include "update/apply/parent_process_wait.h"

#include "platform/io_context.h"

namespace tl {

void ParentProcess::open() {
  if (!opened_) opened_ = io().processWaiter().open(pid_);
}

Status ParentProcess::wait() {
  open();
  if (!opened_->handle) {
    if (opened_->lastError == process::kErrorInvalidParameter) return success();
    return Error::ParentProcessWaitFailed;
  }
  const std::uint32_t code = opened_->handle->wait(kParentWaitMs);
  if (code == process::kWaitObject0) return success();
  if (code == process::kWaitTimeout) return Error::ParentProcessWaitTimedOut;
  return Error::ParentProcessWaitFailed;
}

}  // namespace tl
