#include "common/install_mutex.h"

#include "common/hex.h"
#include "common/paths.h"
#include "common/sha256.h"

namespace tl {

InstallLock& InstallLock::operator=(InstallLock&& o) noexcept {
  if (this != &o) {
    release();
    mutex_ = std::move(o.mutex_);
    held_ = o.held_;
    o.held_ = false;
  }
  return *this;
}

void InstallLock::release() {
  if (held_) {
    mutex_.release();
    held_ = false;
  }
  mutex_.close();
}

Result<std::string> installMutexName(std::string_view channelRoot) {
  std::string normal = TRY(resolvePath(channelRoot));
  auto digest = Sha256::digest(asciiLower(normal));
  return "Local\\TamberlockUninstall_" + toLowerHex(digest.data(), 16);
}

Result<InstallLock> acquireInstallMutex(std::string_view channelRoot, std::uint32_t timeoutMs) {
  std::string name = TRY(installMutexName(channelRoot));
  Result<platform::NamedMutex> created = platform::NamedMutex::create(name);
  if (!created.ok()) return Error::UninstallLockFailed;
  platform::NamedMutex m = created.take();
  switch (m.wait(timeoutMs)) {
    case platform::WaitResult::Acquired:
    case platform::WaitResult::Abandoned:
      return InstallLock(std::move(m));
    case platform::WaitResult::Timeout:
      if (timeoutMs == 0) return Error::InstallationAlreadyInProgress;
      return Error::UninstallLockFailed;
    case platform::WaitResult::Failed:
      break;
  }
  return Error::UninstallLockFailed;
}

}  // namespace tl
