#pragma once
// Reads ahead of its consumer on a thread of its own, so that producing the
// bytes (decompressing) overlaps with consuming them (hashing and writing).
// The same thread hashes the bytes the consumer has taken, chunk by chunk
// behind it, so that the hash of the stream costs the consumer nothing.
// Memory stays bounded: a few fixed-size chunks in flight.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "archive/pull_reader.h"
#include "common/sha256.h"
#include "platform/thread.h"

namespace tl {

class PrefetchingPullReader final : public PullReader {
 public:
  static constexpr std::size_t kChunkSize = 1 << 20;
  static constexpr std::size_t kChunks = 4;

  // The inner reader is used only by the reading thread until stop().
  explicit PrefetchingPullReader(PullReader& inner);
  ~PrefetchingPullReader() override;
  PrefetchingPullReader(const PrefetchingPullReader&) = delete;
  PrefetchingPullReader& operator=(const PrefetchingPullReader&) = delete;

  // The inner reader's bytes in order; its error once the bytes before it
  // were delivered.
  Result<std::size_t> read(void* buf, std::size_t n) override;
  bool hashesDelivered() const override { return true; }
  // Waits for the chunks taken so far to be hashed and adds the bytes taken
  // of the current one.
  Result<std::string> finishDeliveredSha256Hex() override;
  // Ends the reading thread; afterwards the inner reader is the caller's again.
  void stop();

 private:
  struct Chunk {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::size_t pos = 0;
  };

  void run();
  // Reads inline when no thread could be started.
  Result<std::size_t> readInline(void* buf, std::size_t n);

  PullReader& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> full_;
  std::deque<Chunk> taken_;  // delivered in full, waiting to be hashed
  std::vector<std::unique_ptr<char[]>> free_;
  Chunk current_;
  Sha256 delivered_;  // the thread's while it hashes, else the consumer's
  bool started_ = false;
  bool inline_ = false;
  bool hashing_ = false;   // the thread hashes a chunk taken from taken_
  bool ended_ = false;     // the thread delivered its last chunk
  bool stopping_ = false;  // the consumer wants the thread gone
  std::optional<Error> error_;
  platform::Thread thread_;
};

}  // namespace tl
