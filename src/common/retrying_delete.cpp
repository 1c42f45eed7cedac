#include "common/retrying_delete.h"

#include "common/retry.h"

namespace tl {

Status deleteTreeWithRetries(const fs::Dir& dir, std::string_view name) {
  return retryWithPauses(60, 500, [&] { return fs::deleteTreeAt(dir, name); });
}

Status deleteFileWithRetries(const fs::Dir& dir, std::string_view name) {
  return retryWithPauses(20, 250, [&]() -> Status {
    Status s = fs::deleteFileAt(dir, name);
    if (!s.ok() && (s.error() == Error::FileNotFound || s.error() == Error::NotDir)) return success();
    return s;
  });
}

}  // namespace tl
