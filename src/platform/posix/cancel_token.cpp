#include "platform/cancel_token.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace tl {

struct CancelTokenState {
  std::mutex mutex;
  // Read without the lock: file operations ask on every call.
  std::atomic<bool> canceled{false};
  platform::Event event;
  std::uint64_t nextId = 1;
  std::vector<std::pair<std::uint64_t, std::function<void()>>> wakers;
};

namespace {
thread_local CancelToken t_current;
}  // namespace

Result<CancelToken> CancelToken::create() {
  CancelToken t;
  try {
    t.state_ = std::make_shared<CancelTokenState>();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  t.state_->event = TRY(platform::Event::createManualReset());
  return t;
}

void CancelToken::cancel() {
  if (!state_) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->canceled) return;
  state_->canceled = true;
  state_->event.set();
  for (auto& w : state_->wakers) w.second();
}

bool CancelToken::canceled() const { return state_ && state_->canceled.load(); }

platform::Event& CancelToken::event() { return state_->event; }

Result<CancelToken::Waker> CancelToken::onCancel(std::function<void()> wake) {
  Waker w;
  if (!state_) return w;
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->canceled) wake();
  try {
    state_->wakers.emplace_back(state_->nextId, std::move(wake));
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  w.state_ = state_;
  w.id_ = state_->nextId++;
  return w;
}

CancelToken::Waker::~Waker() {
  if (!state_) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto& ws = state_->wakers;
  for (auto it = ws.begin(); it != ws.end(); ++it) {
    if (it->first == id_) {
      ws.erase(it);
      break;
    }
  }
}

const CancelToken* currentCancelToken() { return t_current.valid() ? &t_current : nullptr; }

ScopedCancelToken::ScopedCancelToken(CancelToken token) : previous_(std::move(t_current)) {
  t_current = std::move(token);
}

ScopedCancelToken::~ScopedCancelToken() { t_current = std::move(previous_); }

}  // namespace tl
