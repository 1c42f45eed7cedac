#include "platform/event.h"

#include <condition_variable>
#include <mutex>
#include <new>

namespace tl::platform {

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

}  // namespace tl::platform
