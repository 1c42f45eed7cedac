#include "update/download/limited_body_reader.h"

#include <cstring>
#include <new>

namespace tl {

Result<std::unique_ptr<LimitedBodyReader>> LimitedBodyReader::create(PullReader& body, std::uint64_t budget) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferSize]);
  std::unique_ptr<LimitedBodyReader> reader(new (std::nothrow) LimitedBodyReader(body, budget, std::move(buffer)));
  if (!reader || !reader->buffer_) return Error::OutOfMemory;
  return reader;
}

Status LimitedBodyReader::limitedBodyStream() {
  if (start_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  while (end_ < kBufferSize && !ended_) {
    Result<std::size_t> got = body_.read(buffer_.get() + end_, kBufferSize - end_);
    if (!got.ok()) {
      error_ = got.error();
      return got.error();
    }
    if (*got == 0) {
      ended_ = true;
      break;
    }
    if (*got > budget_ - taken_) {
      error_ = Error::UpdateDownloadTooLarge;
      return Error::UpdateDownloadTooLarge;
    }
    taken_ += *got;
    end_ += *got;
  }
  return success();
}

Result<std::size_t> LimitedBodyReader::read(void* buf, std::size_t n) {
  if (error_) return *error_;
  if (n == 0) return std::size_t{0};
  if (start_ == end_) {
    if (ended_) return std::size_t{0};
    TRY(limitedBodyStream());
    if (start_ == end_) return std::size_t{0};
  }
  const std::size_t take = n < end_ - start_ ? n : end_ - start_;
  std::memcpy(buf, buffer_.get() + start_, take);
  start_ += take;
  return take;
}

Status LimitedBodyReader::discardRest() {
  start_ = end_ = 0;
  while (!ended_) {
    if (error_) return *error_;
    TRY(limitedBodyStream());
    start_ = end_ = 0;
  }
  return error_ ? Status(*error_) : success();
}

}  // namespace tl
