#include "archive/prefetching_pull_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace tl {

PrefetchingPullReader::PrefetchingPullReader(PullReader& inner) : inner_(inner) {}

PrefetchingPullReader::~PrefetchingPullReader() { stop(); }

void PrefetchingPullReader::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.wait();
}

void PrefetchingPullReader::run() {
  for (;;) {
    Chunk taken;
    std::unique_ptr<char[]> buffer;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || !taken_.empty() || (!ended_ && !free_.empty()); });
      if (stopping_) return;
      // Hashing first: the consumer may be waiting for the hash at the end.
      if (!taken_.empty()) {
        taken = std::move(taken_.front());
        taken_.pop_front();
        hashing_ = true;
      } else {
        buffer = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (taken.data) {
      delivered_.update(taken.data.get(), taken.size);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(std::move(taken.data));
        hashing_ = false;
      }
      changed_.notify_all();
      continue;
    }
    // Fill the chunk outside the lock; the consumer works on earlier ones.
    std::size_t filled = 0;
    std::optional<Error> failed;
    bool end = false;
    while (filled < kChunkSize) {
      Result<std::size_t> got = inner_.read(buffer.get() + filled, kChunkSize - filled);
      if (!got.ok()) {
        failed = got.error();
        break;
      }
      if (*got == 0) {
        end = true;
        break;
      }
      filled += *got;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (filled > 0) {
        full_.push_back(Chunk{std::move(buffer), filled, 0});
      } else {
        free_.push_back(std::move(buffer));
      }
      if (failed || end) {
        error_ = failed;
        ended_ = true;
      }
    }
    changed_.notify_all();
  }
}

Result<std::size_t> PrefetchingPullReader::readInline(void* buf, std::size_t n) {
  const std::size_t got = TRY(inner_.read(buf, n));
  delivered_.update(buf, got);
  return got;
}

Result<std::size_t> PrefetchingPullReader::read(void* buf, std::size_t n) {
  if (n == 0) return std::size_t{0};
  if (!started_) {
    started_ = true;
    try {
      for (std::size_t i = 0; i < kChunks; ++i) free_.emplace_back(new char[kChunkSize]);
    } catch (const std::bad_alloc&) {
      return Error::OutOfMemory;
    }
    Result<platform::Thread> started = platform::Thread::create([this] {
      run();
      return std::uint32_t{0};
    });
    if (started.ok()) {
      thread_ = started.take();
    } else if (started.error() == Error::OutOfMemory) {
      return Error::OutOfMemory;
    } else {
      inline_ = true;  // no thread to be had: read on the caller's thread
    }
  }
  if (inline_) return readInline(buf, n);

  if (current_.data && current_.pos == current_.size) {
    std::lock_guard<std::mutex> lock(mutex_);
    taken_.push_back(std::move(current_));
    current_ = Chunk{};
    changed_.notify_all();
  }
  if (!current_.data) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !full_.empty() || ended_; });
    if (full_.empty()) {
      if (error_) return *error_;
      return std::size_t{0};
    }
    current_ = std::move(full_.front());
    full_.pop_front();
  }
  const std::size_t take = std::min(n, current_.size - current_.pos);
  std::memcpy(buf, current_.data.get() + current_.pos, take);
  current_.pos += take;
  return take;
}

Result<std::string> PrefetchingPullReader::finishDeliveredSha256Hex() {
  if (!inline_) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || (taken_.empty() && !hashing_); });
    // A stopped thread left the rest to the consumer.
    if (stopping_) {
      lock.unlock();
      thread_.wait();
    }
  }
  for (Chunk& c : taken_) {
    delivered_.update(c.data.get(), c.size);
    free_.push_back(std::move(c.data));
  }
  taken_.clear();
  if (current_.data) delivered_.update(current_.data.get(), current_.pos);
  return delivered_.finishHex();
}

}  // namespace tl
