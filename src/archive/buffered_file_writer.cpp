#include "archive/buffered_file_writer.h"

#include <cstring>
#include <new>

namespace tl {

Status BufferedFileWriter::init() {
  buffer_.reset(new (std::nothrow) char[kFileWriterBuffer]);
  if (!buffer_) return Error::OutOfMemory;
  return success();
}

Status BufferedFileWriter::write(std::string_view bytes) {
  if (!buffer_) return Error::Unexpected;
  if (bytes.empty()) return success();
  if (used_ + bytes.size() > kFileWriterBuffer) {
    TRY(flush());
    // A piece as large as the buffer gains nothing from a copy.
    if (bytes.size() >= kFileWriterBuffer) return fs::writeAll(file_, bytes.data(), bytes.size());
  }
  std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
  return success();
}

Status BufferedFileWriter::flush() {
  if (used_ == 0) return success();
  TRY(fs::writeAll(file_, buffer_.get(), used_));
  used_ = 0;
  return success();
}

}  // namespace tl
