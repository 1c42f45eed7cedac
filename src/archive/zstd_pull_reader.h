#pragma once
// Streaming Zstandard decompression as a pull reader: the tar reader pulls
// decompressed bytes, the decoder pulls compressed ones from its source.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "archive/pull_reader.h"
#include "common/result.h"

namespace tl {

// Frames may announce a window of at most this many bytes (8 MiB).
inline constexpr unsigned kZstdWindowLogMax = 23;
// Compressed bytes are pulled from the source in pieces of this size.
inline constexpr std::size_t kZstdInputPiece = 64 * 1024;

class ZstdPullReader final : public PullReader {
 public:
  explicit ZstdPullReader(PullReader& compressed);
  ~ZstdPullReader() override;
  ZstdPullReader(const ZstdPullReader&) = delete;
  ZstdPullReader& operator=(const ZstdPullReader&) = delete;

  // Sets the decoder up; must succeed before the first read.
  [[nodiscard]] Status init();
  // Several frames in a row are one stream; skippable frames are skipped.
  // The stream may end only between frames (UnexpectedEndOfStream).
  Result<std::size_t> read(void* buf, std::size_t n) override;

  // The first error a read returned: a consumer that reports its own error
  // for any failed read (the tar reader's ReadFailed) asks here for the cause.
  std::optional<Error> failure() const { return failure_; }
  std::uint64_t compressedBytesRead() const { return compressedRead_; }

 private:
  Result<std::size_t> fail(Error e);

  struct Decoder;
  PullReader& source_;
  std::unique_ptr<Decoder> decoder_;
  std::unique_ptr<unsigned char[]> input_;
  std::size_t inputPos_ = 0;
  std::size_t inputSize_ = 0;
  bool sourceEnded_ = false;
  bool midFrame_ = false;
  std::uint64_t compressedRead_ = 0;
  std::optional<Error> failure_;
};

// The error name for a libzstd error code.
Error zstdErrorToError(std::size_t code);

}  // namespace tl
