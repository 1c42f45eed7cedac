#include "platform/posix/fd_io.h"

#include <sys/file.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/errno_map.h"

namespace tl::platform {

namespace {

// Calls f until it returns something other than -1 with EINTR.
template <typename F>
auto retrying(F f) {
  for (;;) {
    auto r = f();
    if (r != -1 || errno != EINTR) return r;
  }
}

}  // namespace

std::uint64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

Result<std::size_t> fdRead(int fd, void* buf, std::size_t n, std::optional<std::uint64_t> offset) {
  const ssize_t got = retrying(
      [&] { return offset ? ::pread(fd, buf, n, static_cast<off_t>(*offset)) : ::read(fd, buf, n); });
  if (got < 0) return lastError();
  return static_cast<std::size_t>(got);
}

Status fdWriteAll(int fd, const void* buf, std::size_t n, std::optional<std::uint64_t> offset) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t w = retrying(
        [&] { return offset ? ::pwrite(fd, p, n, static_cast<off_t>(*offset)) : ::write(fd, p, n); });
    if (w < 0) return lastError();
    p += w;
    n -= static_cast<std::size_t>(w);
    if (offset) *offset += static_cast<std::uint64_t>(w);
  }
  return success();
}

int flockRetrying(int fd, int operation) {
  return retrying([&] { return ::flock(fd, operation); });
}

int linkatRetrying(int fromDirfd, const char* from, int toDirfd, const char* to, int flags) {
  return retrying([&] { return ::linkat(fromDirfd, from, toDirfd, to, flags); });
}

ssize_t copyFileRangeRetrying(int in, int out, std::size_t length) {
  return retrying([&] { return ::copy_file_range(in, nullptr, out, nullptr, length, 0); });
}

ssize_t getrandomRetrying(void* buf, std::size_t n) {
  return retrying([&] { return ::getrandom(buf, n, 0); });
}

pid_t waitpidRetrying(pid_t pid, int* status, int options) {
  return retrying([&] { return ::waitpid(pid, status, options); });
}

int pollRetrying(pollfd* fds, nfds_t n, int timeoutMs) {
  const std::uint64_t deadline = monotonicMs() + static_cast<std::uint64_t>(timeoutMs > 0 ? timeoutMs : 0);
  for (;;) {
    const int r = ::poll(fds, n, timeoutMs);
    if (r != -1 || errno != EINTR) return r;
    if (timeoutMs > 0) {
      const std::uint64_t now = monotonicMs();
      timeoutMs = now >= deadline ? 0 : static_cast<int>(deadline - now);
    }
  }
}

void nanosleepRetrying(timespec duration) {
  while (::nanosleep(&duration, &duration) != 0 && errno == EINTR) {
  }
}

}  // namespace tl::platform
