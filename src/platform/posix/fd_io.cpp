#include "platform/posix/fd_io.h"

#include <unistd.h>

#include <cerrno>

#include "platform/posix/errno_map.h"

namespace tl::platform {

Result<std::size_t> fdRead(int fd, void* buf, std::size_t n, std::optional<std::uint64_t> offset) {
  for (;;) {
    ssize_t got = offset ? ::pread(fd, buf, n, static_cast<off_t>(*offset)) : ::read(fd, buf, n);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return lastError();
  }
}

Status fdWriteAll(int fd, const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return success();
}

}  // namespace tl::platform
