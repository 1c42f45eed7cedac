#pragma once
// The wait for the application process that started an update: the update
// transaction waits for it before the swap, and after a failure the
// previous version is relaunched only once it has ended.
#include <cstdint>
#include <optional>

#include "common/result.h"
#include "platform/process_waiter.h"

namespace tl {

inline constexpr std::uint32_t kParentWaitMs = 120000;

// The parent process by its id, opened (through io().processWaiter()) at
// open() or else at the first wait. Opened early, the handle keeps naming
// the parent however long the staging takes, where an id looked up late
// may name another process that has taken it since.
class ParentProcess {
 public:
  explicit ParentProcess(std::uint32_t pid) : pid_(pid) {}
  void open();
  // Waits up to 120 seconds for the process to end. Success when it ended
  // or no process had the id; ParentProcessWaitTimedOut when it still runs;
  // ParentProcessWaitFailed when it could not be opened for another reason
  // or the wait fails.
  [[nodiscard]] Status wait();

 private:
  std::uint32_t pid_;
  std::optional<process::OpenedProcess> opened_;
};

}  // namespace tl
