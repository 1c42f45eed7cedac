#include "update/patch/bounded_file_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tl {

BoundedFileReader::BoundedFileReader(fs::File& file, std::uint64_t offset, std::uint64_t length,
                                     std::size_t bufferSize)
    : file_(&file), fileAt_(offset), end_(offset + length), bufferSize_(bufferSize) {}

Status BoundedFileReader::init() {
  buf_.reset(new (std::nothrow) unsigned char[bufferSize_]);
  if (!buf_) return Error::OutOfMemory;
  return success();
}

Result<std::string_view> BoundedFileReader::peek() {
  if (pos_ == len_ && fileAt_ < end_) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize_, end_ - fileAt_));
    std::size_t got = 0;
    while (got < want) {
      const std::size_t n = TRY(fs::pread(*file_, buf_.get() + got, want - got, fileAt_ + got));
      if (n == 0) return Error::UnexpectedEndOfStream;
      got += n;
    }
    fileAt_ += got;
    pos_ = 0;
    len_ = got;
  }
  return std::string_view(reinterpret_cast<const char*>(buf_.get()) + pos_, len_ - pos_);
}

Result<std::size_t> BoundedFileReader::read(void* dst, std::size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t done = 0;
  while (done < n) {
    const std::string_view avail = TRY(peek());
    if (avail.empty()) break;
    const std::size_t take = std::min(n - done, avail.size());
    std::memcpy(out + done, avail.data(), take);
    consume(take);
    done += take;
  }
  return done;
}

bool BoundedFileReader::skip(std::uint64_t n) {
  if (n > remaining()) return false;
  const std::size_t inBuffer = len_ - pos_;
  if (n <= inBuffer) {
    pos_ += static_cast<std::size_t>(n);
    return true;
  }
  fileAt_ += n - inBuffer;
  pos_ = len_ = 0;
  return true;
}

}  // namespace tl
