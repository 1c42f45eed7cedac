#include "archive/zstd_pull_reader.h"

#include <new>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_forceIgnoreChecksum
#include <zstd.h>
#include <zstd_errors.h>

namespace tl {

struct ZstdPullReader::Decoder {
  ZSTD_DCtx* ctx = nullptr;
  ~Decoder() { ZSTD_freeDCtx(ctx); }
};

Error zstdErrorToError(std::size_t code) {
  switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_frameParameter_windowTooLarge:
      return Error::ZstdWindowTooLarge;
    case ZSTD_error_memory_allocation:
      return Error::OutOfMemory;
    default:
      return Error::DecompressionFailed;
  }
}

ZstdPullReader::ZstdPullReader(PullReader& compressed) : source_(compressed) {}
ZstdPullReader::~ZstdPullReader() = default;

Status ZstdPullReader::init() {
  decoder_.reset(new (std::nothrow) Decoder);
  input_.reset(new (std::nothrow) unsigned char[kZstdInputPiece]);
  if (!decoder_ || !input_) return Error::OutOfMemory;
  decoder_->ctx = ZSTD_createDCtx();
  if (decoder_->ctx == nullptr) return Error::OutOfMemory;
  std::size_t r = ZSTD_DCtx_setParameter(decoder_->ctx, ZSTD_d_windowLogMax, kZstdWindowLogMax);
  if (ZSTD_isError(r)) return zstdErrorToError(r);
  // The tar reader hashes the whole stream; the frames' own checksums add
  // nothing the installer relies on.
  r = ZSTD_DCtx_setParameter(decoder_->ctx, ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum);
  if (ZSTD_isError(r)) return zstdErrorToError(r);
  return success();
}

Result<std::size_t> ZstdPullReader::fail(Error e) {
  if (!failure_) failure_ = e;
  return e;
}

Result<std::size_t> ZstdPullReader::read(void* buf, std::size_t n) {
  if (failure_) return *failure_;
  if (!decoder_ || !decoder_->ctx) return fail(Error::Unexpected);
  if (n == 0) return std::size_t{0};
  ZSTD_outBuffer out{buf, n, 0};
  for (;;) {
    if (inputPos_ == inputSize_ && !sourceEnded_) {
      Result<std::size_t> got = source_.read(input_.get(), kZstdInputPiece);
      if (!got) return fail(got.error());
      inputPos_ = 0;
      inputSize_ = *got;
      compressedRead_ += *got;
      if (*got == 0) sourceEnded_ = true;
    }
    if (inputPos_ == inputSize_ && sourceEnded_ && !midFrame_) return out.pos;
    ZSTD_inBuffer in{input_.get(), inputSize_, inputPos_};
    const std::size_t r = ZSTD_decompressStream(decoder_->ctx, &out, &in);
    inputPos_ = in.pos;
    if (ZSTD_isError(r)) return fail(zstdErrorToError(r));
    midFrame_ = r != 0;
    if (out.pos > 0) return out.pos;
    // No output and nothing left to feed: the stream stopped inside a frame.
    if (inputPos_ == inputSize_ && sourceEnded_ && midFrame_) return fail(Error::UnexpectedEndOfStream);
  }
}

}  // namespace tl
