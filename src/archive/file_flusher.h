#pragma once
// Syncs unpacked files on a few threads of its own, so that the wait for the
// disk of one file overlaps with writing the next ones. Bounded: at most
// kMaxOpen files are open in it at once, however large the tree.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "common/result.h"
#include "platform/fs.h"
#include "platform/thread.h"

namespace tl {

class FileFlusher {
 public:
  static constexpr std::size_t kThreads = 16;
  static constexpr std::size_t kMaxOpen = 64;

  FileFlusher() = default;
  // Abandons whatever is still queued.
  ~FileFlusher();
  FileFlusher(const FileFlusher&) = delete;
  FileFlusher& operator=(const FileFlusher&) = delete;

  // Takes a file whose data is complete; it is synced and closed (on the
  // caller's thread when no thread could be started). Waits while kMaxOpen
  // files are open. Once a sync has failed, the first failure by hand-over
  // order is returned and nothing more is taken.
  [[nodiscard]] Status handOver(fs::File file);
  // Waits until every file handed over is synced and closed; the first
  // failure by hand-over order.
  [[nodiscard]] Status finish();
  // Closes what is still queued without syncing it, waits for the syncs
  // already running and ends the threads; the first failure of those that ran.
  [[nodiscard]] Status abandon();

 private:
  struct Pending {
    std::uint64_t order = 0;
    fs::File file;
  };

  void run();
  // A thread more when every thread is busy and the pool is not full.
  [[nodiscard]] Status addThreadIfBusy();

  std::mutex mutex_;
  // Apart, so that a finished sync wakes only the unpacking thread and a new
  // file only one flushing thread, not every thread at every change.
  std::condition_variable workQueued_;
  std::condition_variable fileDone_;
  std::deque<Pending> queue_;
  std::size_t open_ = 0;  // queued or being synced
  std::size_t idle_ = 0;  // threads waiting for work
  std::uint64_t handed_ = 0;
  std::optional<std::pair<std::uint64_t, Error>> failure_;
  bool stopping_ = false;
  bool inline_ = false;
  std::vector<platform::Thread> threads_;
};

}  // namespace tl
