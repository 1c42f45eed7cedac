#pragma once
// The process-wide service object: clock, random numbers, cancellation and
// the seams through which tests inject failures into file operations.
// Concurrent tasks are in platform/task.h.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "platform/cancel_token.h"
#include "platform/event.h"

namespace tl {

namespace process {
class ProcessWaiter;
}

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t nowMs() = 0;
  virtual void sleepMs(std::uint64_t ms) = 0;
  // A pause of ms that ends early once e is set: true when it is.
  virtual bool sleepUnlessSet(platform::Event& e, std::uint64_t ms) = 0;
  // Waits until e is set or the clock reads deadlineMs: true when e is set.
  virtual bool waitUntil(platform::Event& e, std::uint64_t deadlineMs) = 0;
};

class RealClock final : public Clock {
 public:
  std::uint64_t nowMs() override;
  void sleepMs(std::uint64_t ms) override;
  bool sleepUnlessSet(platform::Event& e, std::uint64_t ms) override { return e.waitMs(ms); }
  bool waitUntil(platform::Event& e, std::uint64_t deadlineMs) override;
};

// File operations the fault seam can intercept.
enum class FsOp {
  Open,
  Create,
  MakeDir,
  Rename,
  DeleteFile,
  DeleteDir,
  Write,
  Sync,
  Symlink,
  HardLink,
  Copy,
  Stat,
  Spawn,  // starting a program: its path
};

// Called before an operation with the Windows-form path (or, for operations
// relative to a handle, the name). Returning an error makes the operation
// fail with it, untouched.
using FaultHook = std::function<Status(FsOp op, std::string_view path)>;

// What the layer records when it makes a symbolic link, so tests can see the
// folder-link decision that POSIX itself has no use for.
struct SymlinkRecord {
  std::string name;
  std::string target;
  bool folderLink;
};
using SymlinkObserver = std::function<void(const SymlinkRecord&)>;

class IoContext {
 public:
  IoContext();
  ~IoContext();
  IoContext(const IoContext&) = delete;
  IoContext& operator=(const IoContext&) = delete;

  Clock& clock() { return *clock_; }
  void setClock(Clock* c) { clock_ = c ? c : &realClock_; }
  std::uint64_t nowMs() { return clock_->nowMs(); }
  void sleepMs(std::uint64_t ms) { clock_->sleepMs(ms); }

  // Random bytes from the system's entropy source.
  void randomBytes(void* out, std::size_t n);
  std::uint64_t randomU64();

  void setFaultHook(FaultHook hook);
  Status checkFault(FsOp op, std::string_view path);

  // The waiter for other processes' ends; tests put in their own (null
  // restores the system's).
  process::ProcessWaiter& processWaiter();
  void setProcessWaiter(process::ProcessWaiter* waiter) { waiter_ = waiter; }

  void setSymlinkObserver(SymlinkObserver obs);
  void recordSymlink(const SymlinkRecord& rec);

  // Cancels the whole process, sticky: every later file operation ends with
  // Canceled, and so does every running task.
  void cancel();
  // The process was canceled, or the task running on the calling thread.
  bool canceled() const;
  // A pause on the clock that a cancel ends early (Canceled). Outside a task
  // only the process-wide flag is looked at, before and after the pause.
  [[nodiscard]] Status pauseMs(std::uint64_t ms);

  // Running tasks register their tokens, so that cancel() reaches them.
  [[nodiscard]] Status addTaskToken(const CancelToken& token);
  void removeTaskToken(const CancelToken& token);

 private:
  RealClock realClock_;
  Clock* clock_;
  std::mutex hookMutex_;
  FaultHook faultHook_;
  SymlinkObserver symlinkObserver_;
  process::ProcessWaiter* waiter_ = nullptr;
  std::atomic<bool> canceled_{false};
  std::mutex tasksMutex_;
  std::vector<CancelToken> taskTokens_;
};

// The process-wide context. main creates one; tests may install their own.
IoContext& io();
void setIo(IoContext* ctx);

// Installs a context for the lifetime of a scope (tests).
class ScopedIo {
 public:
  explicit ScopedIo(IoContext& ctx);
  ~ScopedIo();

 private:
  IoContext* previous_;
};

}  // namespace tl
