#pragma once
// The response body of a download with a byte budget, read through a buffer
// of 65,536 bytes: the budget holds while the body streams, not after.
//
// When the body's own reader fails, or the bytes taken in would pass the
// budget (UpdateDownloadTooLarge), the reader records the error and reports
// it; every later read reports it again. A consumer that turns a failed read
// into an error of its own does not hide the cause: the download reports the
// recorded error first.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "archive/pull_reader.h"
#include "common/result.h"

namespace tl {

class LimitedBodyReader final : public PullReader {
 public:
  static constexpr std::size_t kBufferSize = 65536;

  // OutOfMemory when the buffer cannot be had.
  [[nodiscard]] static Result<std::unique_ptr<LimitedBodyReader>> create(PullReader& body, std::uint64_t budget);
  LimitedBodyReader(const LimitedBodyReader&) = delete;
  LimitedBodyReader& operator=(const LimitedBodyReader&) = delete;

  Result<std::size_t> read(void* buf, std::size_t n) override;
  // Reads the rest of the body and drops it (the same errors as read).
  [[nodiscard]] Status discardRest();

  // Body bytes taken in so far.
  std::uint64_t bytesTaken() const { return taken_; }
  std::optional<Error> recordedError() const { return error_; }

 private:
  LimitedBodyReader(PullReader& body, std::uint64_t budget, std::unique_ptr<char[]> buffer)
      : body_(body), budget_(budget), buffer_(std::move(buffer)) {}
  // Moves the unread bytes to the front and fills the free space until it is
  // full or the body ends.
  [[nodiscard]] Status limitedBodyStream();

  PullReader& body_;
  std::uint64_t budget_;
  std::unique_ptr<char[]> buffer_;
  std::size_t start_ = 0;  // unread bytes are [start_, end_)
  std::size_t end_ = 0;
  std::uint64_t taken_ = 0;
  bool ended_ = false;
  std::optional<Error> error_;
};

}  // namespace tl
