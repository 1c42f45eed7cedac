#include "platform/task.h"

#include <new>
#include <utility>

#include "platform/cancel_token.h"
#include "platform/event.h"
#include "platform/io_context.h"
#include "platform/thread.h"

namespace tl {

struct Task::State {
  IoContext* ctx = nullptr;
  CancelToken token;
  platform::Event done;
  platform::Thread thread;
  Status result = Error::Unexpected;  // written by the body's thread before done
  bool joined = false;
};

Task::~Task() {
  if (!state_ || state_->joined) return;
  cancel();
  (void)wait();
}

Result<Task> Task::start(std::function<Status()> body) {
  Task t;
  try {
    t.state_ = std::make_shared<State>();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  State* s = t.state_.get();
  s->ctx = &io();
  s->token = TRY(CancelToken::create());
  s->done = TRY(platform::Event::createManualReset());
  TRY(s->ctx->addTaskToken(s->token));
  // The thread inherits the token from its creator; the creator's own
  // thread gets it only for that moment.
  Result<platform::Thread> thread = [&] {
    ScopedCancelToken scope(s->token);
    return platform::Thread::create([s, body = std::move(body)]() -> std::uint32_t {
      s->result = body();
      s->ctx->removeTaskToken(s->token);
      s->done.set();
      return 0;
    });
  }();
  if (!thread.ok()) {
    s->ctx->removeTaskToken(s->token);
    s->joined = true;
    return Error::ConcurrencyUnavailable;
  }
  s->thread = std::move(thread).take();
  return t;
}

void Task::cancel() {
  if (state_) state_->token.cancel();
}

Status Task::wait() {
  if (!state_) return Error::Unexpected;
  if (!state_->joined) {
    state_->thread.wait();
    state_->joined = true;
  }
  return state_->result;
}

bool Task::waitUntil(std::uint64_t deadlineMs) {
  if (!state_) return false;
  const bool ended = state_->ctx->clock().waitUntil(state_->done, deadlineMs);
  if (!ended) cancel();
  (void)wait();
  return ended;
}

Status Task::result() const { return state_ ? state_->result : Status(Error::Unexpected); }

}  // namespace tl
