#include "platform/thread.h"

#include <atomic>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/cancel_token.h"
#include "platform/posix/worker_threads.h"

namespace tl::platform {

namespace {
std::atomic<std::uint64_t> g_nextId{1};
std::atomic<bool> g_failCreation{false};
thread_local std::uint64_t t_workerId = 0;
}  // namespace

namespace posix {
std::uint64_t currentWorkerThreadId() { return t_workerId; }
}  // namespace posix

struct Thread::State {
  std::uint64_t id = 0;
  std::thread thread;
  std::mutex waitMutex;
  bool joined = false;
  std::atomic<std::uint32_t> exitCode{0};
  ~State() {
    if (thread.joinable()) thread.detach();
  }
};

Thread::~Thread() = default;

Result<Thread> Thread::create(std::function<std::uint32_t()> body) {
  if (g_failCreation.load()) return Error::SystemResources;
  Thread t;
  try {
    t.state_ = std::make_shared<State>();
    State* s = t.state_.get();
    s->id = g_nextId.fetch_add(1);
    // The body holds the state alive too, so a closed handle never leaves
    // the thread writing into freed memory.
    std::shared_ptr<State> keep = t.state_;
    // A thread started by a task works for that task: its cancel reaches it.
    const CancelToken* creator = currentCancelToken();
    CancelToken token = creator ? *creator : CancelToken();
    s->thread = std::thread([keep, token, body = std::move(body)]() {
      ScopedCancelToken scope(token);
      t_workerId = keep->id;
      keep->exitCode.store(body());
    });
  } catch (const std::system_error&) {
    return Error::SystemResources;
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  return t;
}

std::uint32_t Thread::wait() {
  if (!state_) return 0;
  std::lock_guard<std::mutex> lock(state_->waitMutex);
  if (!state_->joined) {
    posix::workerAwaitStarted(state_->id);
    state_->thread.join();
    state_->joined = true;
    posix::workerAwaitEnded(state_->id);
  }
  return state_->exitCode.load();
}

void failThreadCreationForTesting(bool fail) { g_failCreation.store(fail); }

}  // namespace tl::platform
