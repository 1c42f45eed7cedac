#include "archive/file_flusher.h"

#include <new>

namespace tl {

FileFlusher::~FileFlusher() { (void)abandon(); }

Status FileFlusher::addThreadIfBusy() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_ >= queue_.size() || threads_.size() >= kThreads) return success();
  }
  // Room first: a thread once started must never be dropped for want of it.
  threads_.reserve(kThreads);
  Result<platform::Thread> started = platform::Thread::create([this] {
    run();
    return std::uint32_t{0};
  });
  if (started.ok()) {
    threads_.push_back(started.take());
  } else if (started.error() == Error::OutOfMemory) {
    return Error::OutOfMemory;
  } else if (threads_.empty()) {
    inline_ = true;  // no thread to be had: sync on the caller's thread
  }
  return success();
}

void FileFlusher::run() {
  for (;;) {
    Pending next;
    bool skip = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++idle_;
      workQueued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      --idle_;
      if (queue_.empty()) return;
      next = std::move(queue_.front());
      queue_.pop_front();
      // Past a failure the unpacking ends anyway: what follows is only closed.
      skip = failure_.has_value();
    }
    const Status synced = skip ? success() : fs::syncFile(next.file);
    next.file.close();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!synced.ok() && (!failure_ || next.order < failure_->first)) failure_.emplace(next.order, synced.error());
      --open_;
    }
    fileDone_.notify_one();
  }
}

Status FileFlusher::handOver(fs::File file) {
  if (!inline_) {
    bool wake = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      fileDone_.wait(lock, [&] { return open_ < kMaxOpen || failure_; });
      if (!failure_) {
        queue_.push_back(Pending{handed_++, std::move(file)});
        ++open_;
        // A busy thread takes the next file when its sync is done; waking a
        // sleeping one costs this thread a system call, worth it only when
        // more files wait than threads are busy.
        wake = queue_.size() > threads_.size() - idle_;
      }
    }
    if (file.valid()) return abandon();  // a sync failed: it ends the unpacking
    if (wake) workQueued_.notify_one();
    TRY(addThreadIfBusy());
    if (!inline_) return success();
    // The only file queued so far: no thread took it, so it is synced here.
    std::lock_guard<std::mutex> lock(mutex_);
    file = std::move(queue_.front().file);
    queue_.clear();
    open_ = 0;
  }
  return fs::syncFile(file);
}

Status FileFlusher::finish() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    fileDone_.wait(lock, [&] { return open_ == 0 || failure_; });
  }
  return abandon();
}

Status FileFlusher::abandon() {
  std::deque<Pending> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    dropped.swap(queue_);
    open_ -= dropped.size();
  }
  workQueued_.notify_all();
  dropped.clear();
  for (platform::Thread& t : threads_) t.wait();
  threads_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_) return failure_->second;
  return success();
}

}  // namespace tl
