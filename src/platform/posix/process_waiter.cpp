#include "platform/process_waiter.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/io_context.h"
#include "platform/posix/fd_io.h"

namespace tl::process {

namespace {

constexpr std::uint64_t kProbePauseMs = 100;

std::atomic<bool> forceProbing{false};

enum class Probe { running, ended, missing };

// The state letter of /proc/<pid>/stat follows the last ')' (the command
// name may hold parentheses); a zombie (Z) or a dead entry (X) has ended.
Probe probe(pid_t pid) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    const std::string_view text(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::size_t close = text.rfind(')');
    if (close != std::string_view::npos && close + 2 < text.size()) {
      const char state = text[close + 2];
      return state == 'Z' || state == 'X' ? Probe::ended : Probe::running;
    }
    return Probe::running;
  }
  // Without /proc only existence can be told.
  if (::kill(pid, 0) == 0 || errno == EPERM) return Probe::running;
  return Probe::missing;
}

// A process that has gone from the table (reaped) has ended too.
std::uint32_t waitByProbing(pid_t pid, std::uint32_t timeoutMs) {
  const std::uint64_t start = io().nowMs();
  while (probe(pid) == Probe::running) {
    if (timeoutMs != kWaitInfinite && io().nowMs() - start >= timeoutMs) return kWaitTimeout;
    io().sleepMs(kProbePauseMs);
  }
  return kWaitObject0;
}

std::uint32_t waitByPidfd(int fd, std::uint32_t timeoutMs) {
  pollfd pfd{fd, POLLIN, 0};
  const int r = platform::pollRetrying(&pfd, 1, timeoutMs == kWaitInfinite ? -1 : static_cast<int>(timeoutMs));
  if (r > 0) return kWaitObject0;
  if (r == 0) return kWaitTimeout;
  return kWaitFailed;
}

class PidfdHandle final : public ProcessHandle {
 public:
  explicit PidfdHandle(int fd) : fd_(fd) {}
  ~PidfdHandle() override { ::close(fd_); }
  PidfdHandle(const PidfdHandle&) = delete;
  PidfdHandle& operator=(const PidfdHandle&) = delete;
  std::uint32_t wait(std::uint32_t timeoutMs) override { return waitByPidfd(fd_, timeoutMs); }

 private:
  int fd_;
};

class ProbedHandle final : public ProcessHandle {
 public:
  explicit ProbedHandle(pid_t pid) : pid_(pid) {}
  std::uint32_t wait(std::uint32_t timeoutMs) override { return waitByProbing(pid_, timeoutMs); }

 private:
  pid_t pid_;
};

OpenedProcess probed(pid_t pid) {
  if (probe(pid) == Probe::missing) return {nullptr, kErrorInvalidParameter};
  return {std::make_unique<ProbedHandle>(pid), 0};
}

class SystemProcessWaiter final : public ProcessWaiter {
 public:
  OpenedProcess open(std::uint32_t pid) override {
    const auto id = static_cast<pid_t>(pid);
    if (id <= 0) return {nullptr, kErrorInvalidParameter};
    if (forceProbing.load()) return probed(id);
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, id, 0));
    if (fd < 0) {
      if (errno == ESRCH) return {nullptr, kErrorInvalidParameter};
      if (errno == ENOSYS || errno == EPERM || errno == EACCES) return probed(id);
      return {nullptr, kErrorGenFailure};
    }
    return {std::make_unique<PidfdHandle>(fd), 0};
  }
};

}  // namespace

ProcessWaiter& systemProcessWaiter() {
  static SystemProcessWaiter waiter;
  return waiter;
}

void forceProcessProbingForTesting(bool on) { forceProbing = on; }

}  // namespace tl::process
