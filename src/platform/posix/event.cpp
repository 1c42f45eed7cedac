#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace tl::platform {

namespace {
constexpr std::uint64_t kLongestWaitMs = 1'000'000'000'000;  // about 31 years
}  // namespace

struct Event::State {
  std::mutex mutex;
  std::condition_variable cv;
  bool set = false;
};

Result<Event> Event::createManualReset() {
  Event e;
  try {
    e.state_ = std::make_shared<State>();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  return e;
}

void Event::set() {
  if (!state_) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->set = true;
  state_->cv.notify_all();
}

void Event::wait() {
  if (!state_) return;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->cv.wait(lock, [&] { return state_->set; });
}

bool Event::waitMs(std::uint64_t ms) {
  if (!state_) return false;
  // Clamped so that the steady clock's nanoseconds cannot overflow.
  const std::chrono::milliseconds limit(ms < kLongestWaitMs ? ms : kLongestWaitMs);
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->cv.wait_for(lock, limit, [&] { return state_->set; });
}

bool Event::isSet() const {
  if (!state_) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->set;
}

}  // namespace tl::platform
