#pragma once
// The cancel flag of one concurrent task. Sticky once set. Whatever blocks on
// behalf of the task (a clock pause, a network transfer) registers a waker,
// so that a cancel takes effect at once rather than at its next time-out.
//
// The token of the task running on the calling thread is what
// IoContext::canceled() consults besides the process-wide flag, so file
// operations and reads on that thread end with Canceled. Threads that the
// task starts through platform::Thread carry its token too.
#include <cstdint>
#include <functional>
#include <memory>

#include "common/result.h"
#include "platform/event.h"

namespace tl {

struct CancelTokenState;

class CancelToken {
 public:
  CancelToken() = default;  // no token; use create()
  // A fresh, uncanceled token.
  [[nodiscard]] static Result<CancelToken> create();

  void cancel();
  bool canceled() const;
  // Set by cancel(); what clock waits wait on.
  platform::Event& event();
  bool valid() const { return state_ != nullptr; }
  bool sameAs(const CancelToken& o) const { return state_ == o.state_; }

  // Keeps a waker registered while it lives. Once its destructor returned,
  // the waker runs no more.
  class Waker {
   public:
    Waker() = default;
    Waker(Waker&& o) noexcept : state_(std::move(o.state_)), id_(o.id_) {}
    Waker& operator=(Waker&&) = delete;
    Waker(const Waker&) = delete;
    ~Waker();

   private:
    friend class CancelToken;
    std::shared_ptr<CancelTokenState> state_;
    std::uint64_t id_ = 0;
  };
  // Runs wake when cancel() is called (at once, on this thread, when the
  // token already is canceled). wake runs under the token's lock: it must be
  // quick and must not use the token.
  [[nodiscard]] Result<Waker> onCancel(std::function<void()> wake);

 private:
  std::shared_ptr<CancelTokenState> state_;
};

// The cancel token of the task running on the calling thread, or null.
const CancelToken* currentCancelToken();

// Makes token the calling thread's task token while it lives (the task
// machinery and platform::Thread use it). An invalid token means none.
class ScopedCancelToken {
 public:
  explicit ScopedCancelToken(CancelToken token);
  ~ScopedCancelToken();
  ScopedCancelToken(const ScopedCancelToken&) = delete;
  ScopedCancelToken& operator=(const ScopedCancelToken&) = delete;

 private:
  CancelToken previous_;
};

}  // namespace tl
