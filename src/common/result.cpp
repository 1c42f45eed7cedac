#include "common/result.h"

#include <cstdio>
#include <cstdlib>

namespace tl::detail {

// Straight to the C library's standard error, as a failed assertion does:
// the process is in no state to go through the diagnostics.
void resultMisused(const char* what, Error error) noexcept {
  const std::string_view name = errorName(error);
  std::fprintf(stderr, "fatal: %s %.*s\n", what, static_cast<int>(name.size()), name.data());
  std::abort();
}

void resultMisused(const char* what) noexcept {
  std::fprintf(stderr, "fatal: %s\n", what);
  std::abort();
}

}  // namespace tl::detail
