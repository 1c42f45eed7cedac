#pragma once
// A forward-only byte source the tar reader pulls from: a decompressor, a
// download body, a file, or bytes in memory.
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

class PullReader {
 public:
  virtual ~PullReader() = default;
  // Reads up to n bytes into buf. Returns how many arrived; 0 only at the end
  // of the stream (n > 0). A short count is not the end: callers ask again.
  [[nodiscard]] virtual Result<std::size_t> read(void* buf, std::size_t n) = 0;
  // A reader that hashes what it delivers, off its consumer's thread, says so;
  // the consumer then leaves the hash of the stream to it.
  virtual bool hashesDelivered() const { return false; }
  // The SHA-256 of every byte delivered so far, in lowercase hexadecimal.
  // Asked once, at the end; only of a reader that hashes what it delivers.
  [[nodiscard]] virtual Result<std::string> finishDeliveredSha256Hex() { return Error::Unexpected; }
};

// Serves bytes held in memory; the caller keeps them alive.
class MemoryPullReader final : public PullReader {
 public:
  explicit MemoryPullReader(std::string_view bytes) : bytes_(bytes) {}
  Result<std::size_t> read(void* buf, std::size_t n) override {
    const std::size_t take = n < bytes_.size() - pos_ ? n : bytes_.size() - pos_;
    if (take > 0) std::memcpy(buf, bytes_.data() + pos_, take);
    pos_ += take;
    return take;
  }
  std::size_t position() const { return pos_; }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

}  // namespace tl
