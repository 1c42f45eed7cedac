#pragma once
// One byte range of an open file, read forward through a buffer of its own
// with positional reads, so that several readers can share one file handle.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

class BoundedFileReader {
 public:
  BoundedFileReader() = default;
  // Reads [offset, offset + length) of file; the file must outlive the reader.
  BoundedFileReader(fs::File& file, std::uint64_t offset, std::uint64_t length, std::size_t bufferSize);

  // Allocates the buffer (OutOfMemory).
  [[nodiscard]] Status init();
  // The buffered bytes not yet consumed, refilled when none are left; empty
  // only at the end of the range. A read that ends before the range does is
  // UnexpectedEndOfStream; read errors pass up.
  [[nodiscard]] Result<std::string_view> peek();
  void consume(std::size_t n) { pos_ += n; }
  // Up to n bytes; fewer only at the end of the range.
  [[nodiscard]] Result<std::size_t> read(void* dst, std::size_t n);
  // Moves n bytes on without reading them; false when fewer are left.
  bool skip(std::uint64_t n);
  // Bytes of the range not yet consumed.
  std::uint64_t remaining() const { return (end_ - fileAt_) + (len_ - pos_); }

 private:
  fs::File* file_ = nullptr;
  std::uint64_t fileAt_ = 0;  // file offset of the byte after the buffered ones
  std::uint64_t end_ = 0;
  std::size_t bufferSize_ = 0;
  std::unique_ptr<unsigned char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

}  // namespace tl
