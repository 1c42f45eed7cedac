#pragma once
// The process-wide service object: clock, random numbers, cancellation and
// the seams through which tests inject failures into file operations.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t nowMs() = 0;
  virtual void sleepMs(std::uint64_t ms) = 0;
};

class RealClock final : public Clock {
 public:
  std::uint64_t nowMs() override;
  void sleepMs(std::uint64_t ms) override;
};

// Time moves only when somebody sleeps; tests run retry loops instantly.
class FakeClock final : public Clock {
 public:
  std::uint64_t nowMs() override { return now_.load(); }
  void sleepMs(std::uint64_t ms) override {
    now_ += ms;
    slept_ += ms;
    sleeps_++;
  }
  std::uint64_t totalSleptMs() const { return slept_.load(); }
  std::uint64_t sleepCount() const { return sleeps_.load(); }

 private:
  std::atomic<std::uint64_t> now_{1'000'000};
  std::atomic<std::uint64_t> slept_{0};
  std::atomic<std::uint64_t> sleeps_{0};
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

  void setSymlinkObserver(SymlinkObserver obs);
  void recordSymlink(const SymlinkRecord& rec);

  // Cancellation of the calling task: file operations then end with Canceled.
  void cancel() { canceled_ = true; }
  bool canceled() const { return canceled_.load(); }

 private:
  RealClock realClock_;
  Clock* clock_;
  std::mutex hookMutex_;
  FaultHook faultHook_;
  SymlinkObserver symlinkObserver_;
  std::atomic<bool> canceled_{false};
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
