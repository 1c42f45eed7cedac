#pragma once
// A named mutex of the "Local\" namespace. Re-entrant for its owning thread,
// as a Windows mutex is; a holder that dies releases it ("abandoned").
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl::platform {

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { Acquired, Abandoned, Timeout, Failed };

class NamedMutex {
 public:
  NamedMutex() = default;
  NamedMutex(NamedMutex&& o) noexcept;
  NamedMutex& operator=(NamedMutex&& o) noexcept;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  // Closes the handle. Acquisitions still held through it are released
  // first: a Windows handle closed while owned leaves the mutex owned until
  // its thread ends, which here would keep the lock file locked for the rest
  // of the process.
  ~NamedMutex();

  // CreateMutexW: name like "Local\TamberlockUninstall_<32 hex>".
  [[nodiscard]] static Result<NamedMutex> create(std::string_view name);
  // WaitForSingleObject: timeout in ms, 0 tries once, kInfinite waits forever.
  WaitResult wait(std::uint32_t timeoutMs);
  // ReleaseMutex: undoes one acquisition by this thread.
  void release();
  void close();
  bool valid() const { return valid_; }

 private:
  std::string name_;
  bool valid_ = false;
  int heldCount_ = 0;  // acquisitions made through this handle
};

// Tests: the folder in which the per-user lock folder is made ("/tmp" unless
// set; empty restores that).
void setMutexFolderParentForTesting(std::string hostFolder);

}  // namespace tl::platform
