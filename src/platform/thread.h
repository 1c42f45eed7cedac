#pragma once
// A thread as CreateThread gives it: started with a body that returns an exit
// code, waited for without limit, its handle closed without stopping it.
#include <cstdint>
#include <functional>
#include <memory>

#include "common/result.h"

namespace tl::platform {

class Thread {
 public:
  Thread() = default;
  Thread(Thread&&) noexcept = default;
  Thread& operator=(Thread&&) noexcept = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // Closing the handle does not stop the thread; it runs on unobserved.
  ~Thread();

  // CreateThread. SystemResources when the system refuses a new thread.
  [[nodiscard]] static Result<Thread> create(std::function<std::uint32_t()> body);
  // WaitForSingleObject without limit, then the thread's exit code. Any
  // number of calls, each returning once the thread has ended.
  std::uint32_t wait();
  bool valid() const { return state_ != nullptr; }

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Makes every following Thread::create fail (tests of the fallback path).
void failThreadCreationForTesting(bool fail);

}  // namespace tl::platform
