#pragma once
// Trying an operation again after a pause on the IoContext clock, for
// failures that pass with time (a file held open by an exiting program or a
// virus scanner).
#include <cstdint>

#include "common/result.h"
#include "platform/io_context.h"

namespace tl {

// Up to `attempts` calls of attempt(), pauseMs apart: the first success, or
// the last attempt's error.
template <typename Attempt>
[[nodiscard]] Status retryWithPauses(int attempts, std::uint64_t pauseMs, Attempt attempt) {
  Status last = success();
  for (int i = 0; i < attempts; ++i) {
    if (i > 0) io().sleepMs(pauseMs);
    last = attempt();
    if (last.ok()) return last;
  }
  return last;
}

}  // namespace tl
