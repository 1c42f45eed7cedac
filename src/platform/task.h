#pragma once
// A concurrent task of the IoContext: a body run on a thread of its own under
// a cancel token of its own (platform/cancel_token.h). File operations,
// reads, clock pauses and transfers that run for the body observe the token
// and end with Canceled once it is set; IoContext::cancel() sets it too.
//
// The caller waits for the task without limit or against a deadline on the
// IoContext clock. A deadline that passes cancels the task and still waits
// for its end, so nothing of the task runs on after the wait returns: the
// caller may then delete what the task was writing into. The task's token
// never reaches the caller's thread, so the caller's own clean-up is not
// canceled with it.
#include <cstdint>
#include <functional>
#include <memory>

#include "common/result.h"

namespace tl {

class Task {
 public:
  Task() = default;
  Task(Task&&) noexcept = default;
  Task& operator=(Task&&) noexcept = default;
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  // A task that nobody waited for is canceled and waited for here.
  ~Task();

  // Starts body on a thread of its own. ConcurrencyUnavailable when the
  // system gives no thread.
  [[nodiscard]] static Result<Task> start(std::function<Status()> body);

  void cancel();
  // Waits for the body to end, without limit; its result.
  Status wait();
  // Waits until the body ended or the clock reads deadlineMs; at the
  // deadline cancels the task and waits for its end. True when the body
  // ended before the deadline; result() then holds what it returned.
  bool waitUntil(std::uint64_t deadlineMs);
  // What the body returned; valid once a wait returned.
  Status result() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tl
