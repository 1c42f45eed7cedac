#pragma once
// Runs a clean-up when the scope ends, on every way out.
#include <utility>

namespace tl {

template <typename CleanUp>
class [[nodiscard]] ScopeGuard {
 public:
  explicit ScopeGuard(CleanUp cleanUp) : cleanUp_(std::move(cleanUp)) {}
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  ~ScopeGuard() { cleanUp_(); }

 private:
  CleanUp cleanUp_;
};

}  // namespace tl
