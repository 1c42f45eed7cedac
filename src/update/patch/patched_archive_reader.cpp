#include "update/patch/patched_archive_reader.h"

#include <algorithm>
#include <limits>
#include <new>

#include "platform/io_context.h"
#include "update/patch/patch_format.h"

namespace tl {

namespace {

constexpr std::uint64_t kExtraRecords = 1024;
// Records that add and copy nothing produce no byte, so the size-based
// limit does not bound them: a control block of nothing but such records
// would keep a preparation decoding for as long as its limit allows.
constexpr std::uint64_t kMaxEmptyRecords = 1024;

// At most 2 x new size + 1,024 records, the bound saturating rather than
// wrapping for a hostile size.
std::uint64_t recordLimit(std::uint64_t newSize) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return newSize > (kMax - kExtraRecords) / 2 ? kMax : 2 * newSize + kExtraRecords;
}

}  // namespace

PatchedArchiveReader::PatchedArchiveReader(PatchSource& oldArchive, PatchBlockDecoder& control,
                                           PatchBlockDecoder& diff, PatchBlockDecoder& extra,
                                           std::uint64_t newSize)
    : old_(oldArchive), control_(control), diff_(diff), extra_(extra), newSize_(newSize) {}

Result<std::size_t> PatchedArchiveReader::read(void* buf, std::size_t n) {
  if (failure_) return *failure_;
  if (ended_ || n == 0) return std::size_t{0};
  Error e = Error::Canceled;
  if (!io().canceled()) {
    if (!scratch_) scratch_.reset(new (std::nothrow) unsigned char[kPatchStepSize]);
    if (!scratch_) {
      e = Error::OutOfMemory;
    } else {
      const Result<std::size_t> got = applyPatchStep(static_cast<unsigned char*>(buf), std::min(n, kPatchStepSize));
      if (got) return got;
      e = got.error();
    }
  }
  failure_ = e;
  return e;
}

Result<std::size_t> PatchedArchiveReader::applyPatchStep(unsigned char* out, std::size_t space) {
  for (;;) {
    if (addLeft_ > 0) return addRun(out, space);
    if (copyLeft_ > 0) return copyRun(out, space);
    if (!TRY(nextRecord())) {
      ended_ = true;
      return std::size_t{0};
    }
  }
}

Result<std::size_t> PatchedArchiveReader::addRun(unsigned char* out, std::size_t space) {
  const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(addLeft_, space));
  if (TRY(diff_.readHashedSlice(out, m)) != m) return Error::CorruptPatch;
  std::int64_t end = 0;
  if (__builtin_add_overflow(oldPos_, static_cast<std::int64_t>(m), &end)) return Error::CorruptPatch;
  // Old bytes outside the old archive count as 0, so only the part inside
  // it changes anything.
  const auto oldLength = static_cast<std::int64_t>(
      std::min<std::uint64_t>(old_.length(), static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
  const std::int64_t lo = std::max<std::int64_t>(oldPos_, 0);
  const std::int64_t hi = std::min(end, oldLength);
  if (lo < hi) {
    const auto len = static_cast<std::size_t>(hi - lo);
    TRY(old_.readAt(static_cast<std::uint64_t>(lo), scratch_.get(), len));
    unsigned char* dst = out + (lo - oldPos_);
    const unsigned char* src = scratch_.get();
    for (std::size_t i = 0; i < len; ++i) dst[i] = static_cast<unsigned char>(dst[i] + src[i]);
  }
  oldPos_ = end;
  addLeft_ -= m;
  produced_ += m;
  return m;
}

Result<std::size_t> PatchedArchiveReader::copyRun(unsigned char* out, std::size_t space) {
  const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(copyLeft_, space));
  if (TRY(extra_.readHashedSlice(out, len)) != len) return Error::CorruptPatch;
  copyLeft_ -= len;
  produced_ += len;
  return len;
}

Result<bool> PatchedArchiveReader::nextRecord() {
  if (seekPending_) {
    if (__builtin_add_overflow(oldPos_, pendingSeek_, &oldPos_)) return Error::CorruptPatch;
    seekPending_ = false;
  }
  unsigned char record[kPatchControlRecordSize];
  const std::size_t got = TRY(control_.readHashedSlice(record, sizeof record));
  if (got == 0) {
    TRY(verifyEnd());
    return false;
  }
  if (got != sizeof record) return Error::CorruptPatch;
  if (records_ >= recordLimit(newSize_)) return Error::CorruptPatch;
  ++records_;
  const std::int64_t add = decodeSignMagnitude(record);
  const std::int64_t copy = decodeSignMagnitude(record + 8);
  if (add < 0 || copy < 0) return Error::CorruptPatch;
  const std::uint64_t remaining = newSize_ - produced_;
  if (static_cast<std::uint64_t>(add) > remaining || static_cast<std::uint64_t>(copy) > remaining - add) {
    return Error::CorruptPatch;
  }
  if (add == 0 && copy == 0 && ++emptyRecords_ > kMaxEmptyRecords) return Error::CorruptPatch;
  addLeft_ = static_cast<std::uint64_t>(add);
  copyLeft_ = static_cast<std::uint64_t>(copy);
  pendingSeek_ = decodeSignMagnitude(record + 16);
  seekPending_ = true;
  if (io().canceled()) return Error::Canceled;
  return true;
}

Status PatchedArchiveReader::verifyEnd() {
  if (produced_ != newSize_) return Error::CorruptPatch;
  for (PatchBlockDecoder* block : {&control_, &diff_, &extra_}) {
    unsigned char extra;
    if (TRY(block->readHashedSlice(&extra, 1)) != 0) return Error::CorruptPatch;
    const std::optional<std::uint32_t> expected = block->expectedChecksum();
    if (expected && *expected != block->digestLow32()) return Error::PatchChecksumMismatch;
  }
  return success();
}

}  // namespace tl
