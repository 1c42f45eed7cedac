#include "uninstall/retrying_delete.h"

#include "platform/io_context.h"

namespace tl {

namespace {

template <typename Attempt>
Status withRetries(int attempts, std::uint64_t pauseMs, Attempt attempt) {
  Status last = success();
  for (int i = 0; i < attempts; ++i) {
    if (i > 0) io().sleepMs(pauseMs);
    last = attempt();
    if (last.ok()) return last;
  }
  return last;
}

}  // namespace

Status deleteTreeWithRetries(const fs::Dir& dir, std::string_view name) {
  return withRetries(60, 500, [&] { return fs::deleteTreeAt(dir, name); });
}

Status deleteFileWithRetries(const fs::Dir& dir, std::string_view name) {
  return withRetries(20, 250, [&]() -> Status {
    Status s = fs::deleteFileAt(dir, name);
    if (!s.ok() && (s.error() == Error::FileNotFound || s.error() == Error::NotDir)) return success();
    return s;
  });
}

}  // namespace tl
