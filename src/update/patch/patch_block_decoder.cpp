#include "update/patch/patch_block_decoder.h"

#include <algorithm>
#include <new>

#define ZSTD_STATIC_LINKING_ONLY  // static decoding context, ZSTD_d_forceIgnoreChecksum
#include <zstd.h>
#define XXH_STATIC_LINKING_ONLY  // XXH64_state_t held by value
#include <xxhash.h>

#include "archive/zstd_pull_reader.h"
#include "platform/io_context.h"
#include "update/patch/bounded_file_reader.h"

namespace tl {

namespace {

constexpr std::uint32_t kFrameMagic = 0xFD2FB528;
constexpr std::uint32_t kLargestBlockHeader = 0x100007;  // a block of 131,072 bytes
constexpr unsigned kRleBlock = 1;
constexpr unsigned kReservedBlock = 3;
// libzstd gives every frame a window of at least this much.
constexpr std::uint64_t kSmallestWindow = 1024;

std::uint64_t littleEndian(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// Exactly n bytes, or CorruptPatch when the block ends first. The file
// ending before the block does means the same.
Status readExact(BoundedFileReader& in, unsigned char* dst, std::size_t n) {
  const Result<std::size_t> got = in.read(dst, n);
  if (!got) return got.error() == Error::UnexpectedEndOfStream ? Status(Error::CorruptPatch) : Status(got.error());
  if (*got != n) return Error::CorruptPatch;
  return success();
}

struct FrameFacts {
  std::uint64_t window = 0;
  std::optional<std::uint32_t> checksum;
};

// The frame header (RFC 8878), then every block header, skipping the block
// contents, then the checksum; the frame must fill the range exactly.
Result<FrameFacts> walkFrame(BoundedFileReader& in) {
  unsigned char b[8];
  TRY(readExact(in, b, 4));
  if (littleEndian(b, 4) != kFrameMagic) return Error::CorruptPatch;

  TRY(readExact(in, b, 1));
  const unsigned descriptor = b[0];
  const unsigned contentSizeFlag = descriptor >> 6;
  const bool singleSegment = (descriptor >> 5) & 1;
  const bool reservedBit = (descriptor >> 3) & 1;
  const bool hasChecksum = (descriptor >> 2) & 1;
  const unsigned dictionaryFlag = descriptor & 3;
  if (reservedBit) return Error::CorruptPatch;

  std::optional<unsigned> windowDescriptor;
  if (!singleSegment) {
    TRY(readExact(in, b, 1));
    windowDescriptor = b[0];
  }
  static constexpr std::size_t kDictionaryIdSize[] = {0, 1, 2, 4};
  TRY(readExact(in, b, kDictionaryIdSize[dictionaryFlag]));
  static constexpr std::size_t kContentSizeSize[] = {0, 2, 4, 8};
  const std::size_t contentSizeBytes = contentSizeFlag == 0 && singleSegment ? 1 : kContentSizeSize[contentSizeFlag];
  std::optional<std::uint64_t> contentSize;
  if (contentSizeBytes > 0) {
    TRY(readExact(in, b, contentSizeBytes));
    contentSize = littleEndian(b, contentSizeBytes) + (contentSizeBytes == 2 ? 256 : 0);
  }
  if (dictionaryFlag != 0) return Error::UnsupportedPatchDictionary;

  FrameFacts facts;
  if (windowDescriptor) {
    const unsigned exponent = *windowDescriptor >> 3;
    const std::uint64_t base = std::uint64_t{1} << (10 + exponent);
    facts.window = base + (base / 8) * (*windowDescriptor & 7);
  } else if (contentSize) {
    facts.window = *contentSize;
  } else {
    return Error::CorruptPatch;
  }
  if (facts.window > kMaxPatchWindow) return Error::PatchWindowTooLarge;

  for (;;) {
    if (io().canceled()) return Error::Canceled;
    TRY(readExact(in, b, 3));
    const auto header = static_cast<std::uint32_t>(littleEndian(b, 3));
    if (header > kLargestBlockHeader) return Error::CorruptPatch;
    const bool last = header & 1;
    const unsigned type = (header >> 1) & 3;
    const std::uint32_t size = header >> 3;
    if (size > facts.window || type == kReservedBlock) return Error::CorruptPatch;
    if (!in.skip(type == kRleBlock ? 1 : size)) return Error::CorruptPatch;
    if (last) break;
  }
  if (hasChecksum) {
    TRY(readExact(in, b, 4));
    facts.checksum = static_cast<std::uint32_t>(littleEndian(b, 4));
  }
  if (in.remaining() != 0) return Error::CorruptPatch;
  return facts;
}

}  // namespace

struct PatchBlockDecoder::State {
  BoundedFileReader input;
  // The decoder's history and its own state, as libzstd sizes them for the
  // frame's window; the decoding context lives inside it.
  std::unique_ptr<unsigned char[]> history;
  std::size_t historySize = 0;
  ZSTD_DCtx* dctx = nullptr;
  XXH64_state_t hash;
  std::optional<std::uint32_t> expected;
  bool frameDone = false;
};

PatchBlockDecoder::PatchBlockDecoder() = default;
PatchBlockDecoder::~PatchBlockDecoder() = default;
PatchBlockDecoder::PatchBlockDecoder(PatchBlockDecoder&&) noexcept = default;
PatchBlockDecoder& PatchBlockDecoder::operator=(PatchBlockDecoder&&) noexcept = default;

std::optional<std::uint32_t> PatchBlockDecoder::expectedChecksum() const {
  return state_ ? state_->expected : std::nullopt;
}

std::uint32_t PatchBlockDecoder::digestLow32() const {
  return state_ ? static_cast<std::uint32_t>(XXH64_digest(&state_->hash)) : 0;
}

bool PatchBlockDecoder::allocated() const { return state_ && state_->history; }

void PatchBlockDecoder::release() { state_.reset(); }

Result<std::size_t> PatchBlockDecoder::readHashedSlice(void* dst, std::size_t n) {
  if (!state_ || !state_->dctx) return Error::Unexpected;
  State& s = *state_;
  ZSTD_outBuffer out{dst, n, 0};
  while (out.pos < n && !s.frameDone) {
    const Result<std::string_view> avail = s.input.peek();
    if (!avail) return avail.error() == Error::UnexpectedEndOfStream ? Error::CorruptPatch : avail.error();
    ZSTD_inBuffer in{avail->data(), avail->size(), 0};
    const std::size_t before = out.pos;
    const std::size_t r = ZSTD_decompressStream(s.dctx, &out, &in);
    s.input.consume(in.pos);
    if (ZSTD_isError(r)) return zstdErrorToError(r);
    if (r == 0) s.frameDone = true;
    // Nothing left to feed and nothing came out: the frame stops short.
    else if (avail->empty() && out.pos == before) return Error::CorruptPatch;
  }
  if (out.pos > 0) XXH64_update(&s.hash, dst, out.pos);
  return out.pos;
}

Result<PatchBlockDecoder> openPatchBlock(fs::File& file, std::uint64_t offset, std::uint64_t length) {
  if (offset + length < offset) return Error::CorruptPatch;
  FrameFacts facts;
  {
    BoundedFileReader walk(file, offset, length, kPatchWalkBuffer);
    TRY(walk.init());
    facts = TRY(walkFrame(walk));
  }

  PatchBlockDecoder decoder;
  decoder.state_.reset(new (std::nothrow) PatchBlockDecoder::State);
  if (!decoder.state_) return Error::OutOfMemory;
  PatchBlockDecoder::State& s = *decoder.state_;
  s.expected = facts.checksum;
  s.historySize = ZSTD_estimateDStreamSize(static_cast<std::size_t>(std::max(facts.window, kSmallestWindow)));
  s.history.reset(new (std::nothrow) unsigned char[s.historySize]);
  if (!s.history) return Error::OutOfMemory;
  s.dctx = ZSTD_initStaticDStream(s.history.get(), s.historySize);
  if (s.dctx == nullptr) return Error::Unexpected;
  std::size_t r = ZSTD_DCtx_setParameter(s.dctx, ZSTD_d_windowLogMax, kZstdWindowLogMax);
  if (ZSTD_isError(r)) return zstdErrorToError(r);
  // The checksum is compared by the reader at the very end, so that a
  // mismatch has its own name rather than the decoder's.
  r = ZSTD_DCtx_setParameter(s.dctx, ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum);
  if (ZSTD_isError(r)) return zstdErrorToError(r);
  XXH64_reset(&s.hash, 0);
  s.input = BoundedFileReader(file, offset, length, kPatchInputBuffer);
  TRY(s.input.init());
  return decoder;
}

}  // namespace tl
