#pragma once
// Waiting for another process to end, as OpenProcess(SYNCHRONIZE) followed by
// WaitForSingleObject and CloseHandle answer it. The IoContext holds the
// waiter in use, so that tests can put in one whose process never ends.
#include <cstdint>
#include <memory>

namespace tl::process {

// OpenProcess's last error when no process has the id.
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
// OpenProcess's last error when the host could not open it for another reason.
inline constexpr std::uint32_t kErrorGenFailure = 31;
// WaitForSingleObject's results.
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
// A timeout that never ends.
inline constexpr std::uint32_t kWaitInfinite = 0xFFFFFFFFu;

struct ProcessWait {
  bool opened = false;  // the process could be opened
  // opened: the wait's result (kWaitObject0, kWaitTimeout, kWaitFailed);
  // otherwise the open's last error (kErrorInvalidParameter: no such process).
  std::uint32_t code = 0;
};

// What OpenProcess(SYNCHRONIZE) hands back: it names the process it was
// opened for until it is closed, even after that process has ended and
// another has taken its id.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
  // WaitForSingleObject: kWaitObject0 once the process has ended (at once
  // when it already has), kWaitTimeout, or kWaitFailed.
  virtual std::uint32_t wait(std::uint32_t timeoutMs) = 0;
};

struct OpenedProcess {
  std::unique_ptr<ProcessHandle> handle;  // empty when the open failed
  std::uint32_t lastError = 0;            // the open's last error then
};

class ProcessWaiter {
 public:
  virtual ~ProcessWaiter() = default;
  // Opens the process by id.
  virtual OpenedProcess open(std::uint32_t pid) = 0;
  // Opens the process by id and waits up to timeoutMs for its end.
  ProcessWait waitForExit(std::uint32_t pid, std::uint32_t timeoutMs) {
    const OpenedProcess opened = open(pid);
    if (!opened.handle) return {false, opened.lastError};
    return {true, opened.handle->wait(timeoutMs)};
  }
};

// The host's waiter. POSIX: an id that is not positive as a pid_t names no
// process; the handle is a pidfd, polled for the end (a zombie has ended);
// where pidfd_open is refused, the handle holds the id alone and the
// process is probed every 100 ms on the IoContext clock.
ProcessWaiter& systemProcessWaiter();
// Tests: the probing road even where pidfd_open works.
void forceProcessProbingForTesting(bool on);

}  // namespace tl::process
