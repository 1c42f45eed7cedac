#pragma once
// The per-installation named mutex "Local\TamberlockUninstall_<32 hex>".
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/named_mutex.h"

namespace tl {

// The held mutex. Releases and closes on destruction (or release()).
class InstallLock {
 public:
  InstallLock() = default;
  explicit InstallLock(platform::NamedMutex m) : mutex_(std::move(m)), held_(true) {}
  InstallLock(InstallLock&& o) noexcept : mutex_(std::move(o.mutex_)), held_(o.held_) { o.held_ = false; }
  InstallLock& operator=(InstallLock&& o) noexcept;
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;
  ~InstallLock() { release(); }
  void release();
  bool held() const { return held_; }

 private:
  platform::NamedMutex mutex_;
  bool held_ = false;
};

[[nodiscard]] Result<std::string> installMutexName(std::string_view channelRoot);
// timeoutMs 0 tries once (InstallationAlreadyInProgress when held);
// platform::kInfinite waits without limit.
[[nodiscard]] Result<InstallLock> acquireInstallMutex(std::string_view channelRoot, std::uint32_t timeoutMs);

}  // namespace tl
