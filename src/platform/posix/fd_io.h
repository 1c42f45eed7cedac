#pragma once
// The layer's system calls that a signal can interrupt, each repeated until
// it is not interrupted, so that no caller writes its own EINTR loop; and the
// one monotonic clock, which deadlines here and the real IoContext clock read.
#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/result.h"

namespace tl::platform {

// Milliseconds on CLOCK_MONOTONIC.
[[nodiscard]] std::uint64_t monotonicMs();

// One read(2), or pread(2) at offset: what arrived, 0 only at the end.
// A failure leaves errno as the call set it.
[[nodiscard]] Result<std::size_t> fdRead(int fd, void* buf, std::size_t n,
                                         std::optional<std::uint64_t> offset = std::nullopt);
// write(2) until all n bytes are written, or pwrite(2) from offset.
[[nodiscard]] Status fdWriteAll(int fd, const void* buf, std::size_t n,
                                std::optional<std::uint64_t> offset = std::nullopt);

// These return what the call returns, errno included; only EINTR is hidden.
int flockRetrying(int fd, int operation);
int linkatRetrying(int fromDirfd, const char* from, int toDirfd, const char* to, int flags);
ssize_t copyFileRangeRetrying(int in, int out, std::size_t length);
ssize_t getrandomRetrying(void* buf, std::size_t n);
pid_t waitpidRetrying(pid_t pid, int* status, int options);
// A timeout (milliseconds, negative for none) is kept across interruptions
// as a deadline, not restarted.
int pollRetrying(pollfd* fds, nfds_t n, int timeoutMs);
// Sleeps the whole time, resuming with what is left after a signal.
void nanosleepRetrying(timespec duration);

}  // namespace tl::platform
