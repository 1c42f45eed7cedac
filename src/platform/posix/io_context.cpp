#include "platform/io_context.h"

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/fd_io.h"
#include "platform/process_waiter.h"

namespace tl {

std::uint64_t RealClock::nowMs() { return platform::monotonicMs(); }

void RealClock::sleepMs(std::uint64_t ms) {
  platform::nanosleepRetrying({static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)});
}

bool RealClock::waitUntil(platform::Event& e, std::uint64_t deadlineMs) {
  for (;;) {
    const std::uint64_t now = nowMs();
    if (now >= deadlineMs) return e.isSet();
    if (e.waitMs(deadlineMs - now)) return true;
  }
}

IoContext::IoContext() : clock_(&realClock_) {}
IoContext::~IoContext() = default;

void IoContext::randomBytes(void* out, std::size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ssize_t got = platform::getrandomRetrying(p, n);
    // The entropy source cannot fail on any supported kernel; never hand out
    // predictable bytes silently.
    if (got < 0) std::abort();
    p += got;
    n -= static_cast<std::size_t>(got);
  }
}

std::uint64_t IoContext::randomU64() {
  unsigned char b[8];
  randomBytes(b, sizeof b);
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];  // little-endian
  return v;
}

process::ProcessWaiter& IoContext::processWaiter() {
  return waiter_ != nullptr ? *waiter_ : process::systemProcessWaiter();
}

void IoContext::setFaultHook(FaultHook hook) {
  std::lock_guard<std::mutex> lock(hookMutex_);
  faultHook_ = std::move(hook);
}

void IoContext::cancel() {
  canceled_ = true;
  std::lock_guard<std::mutex> lock(tasksMutex_);
  for (CancelToken& t : taskTokens_) t.cancel();
}

bool IoContext::canceled() const {
  if (canceled_.load()) return true;
  const CancelToken* task = currentCancelToken();
  return task != nullptr && task->canceled();
}

Status IoContext::pauseMs(std::uint64_t ms) {
  if (canceled()) return Error::Canceled;
  const CancelToken* task = currentCancelToken();
  if (task == nullptr) {
    sleepMs(ms);
  } else {
    CancelToken token = *task;
    if (clock_->sleepUnlessSet(token.event(), ms)) return Error::Canceled;
  }
  return canceled() ? Status(Error::Canceled) : success();
}

Status IoContext::addTaskToken(const CancelToken& token) {
  std::lock_guard<std::mutex> lock(tasksMutex_);
  // A task started after a process-wide cancel is canceled from the start.
  if (canceled_.load()) {
    CancelToken t = token;
    t.cancel();
  }
  try {
    taskTokens_.push_back(token);
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  return success();
}

void IoContext::removeTaskToken(const CancelToken& token) {
  std::lock_guard<std::mutex> lock(tasksMutex_);
  for (auto it = taskTokens_.begin(); it != taskTokens_.end(); ++it) {
    if (it->sameAs(token)) {
      taskTokens_.erase(it);
      return;
    }
  }
}

Status IoContext::checkFault(FsOp op, std::string_view path) {
  if (canceled()) return Error::Canceled;
  FaultHook hook;
  {
    std::lock_guard<std::mutex> lock(hookMutex_);
    hook = faultHook_;
  }
  if (hook) return hook(op, path);
  return success();
}

void IoContext::setSymlinkObserver(SymlinkObserver obs) {
  std::lock_guard<std::mutex> lock(hookMutex_);
  symlinkObserver_ = std::move(obs);
}

void IoContext::recordSymlink(const SymlinkRecord& rec) {
  SymlinkObserver obs;
  {
    std::lock_guard<std::mutex> lock(hookMutex_);
    obs = symlinkObserver_;
  }
  if (obs) obs(rec);
}

namespace {
IoContext* g_io = nullptr;
IoContext& defaultIo() {
  static IoContext ctx;
  return ctx;
}
}  // namespace

IoContext& io() { return g_io ? *g_io : defaultIo(); }
void setIo(IoContext* ctx) { g_io = ctx; }

ScopedIo::ScopedIo(IoContext& ctx) : previous_(g_io) { g_io = &ctx; }
ScopedIo::~ScopedIo() { g_io = previous_; }

}  // namespace tl
