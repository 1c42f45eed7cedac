#pragma once
// The new archive of a delta update as a pull stream: add runs (diff bytes
// added to old bytes), copy runs (extra bytes as they are) and seeks in the
// old archive, as the control block's records say. The new archive is never
// held: each pull produces at most 64 KiB straight into the caller's buffer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "archive/pull_reader.h"
#include "common/result.h"
#include "update/patch/patch_block_decoder.h"
#include "update/patch/patch_source.h"

namespace tl {

inline constexpr std::size_t kPatchStepSize = 65536;
inline constexpr std::size_t kPatchControlRecordSize = 24;

class PatchedArchiveReader final : public PullReader {
 public:
  // The decoders of the control, diff and extra blocks and the old source
  // must outlive the reader.
  PatchedArchiveReader(PatchSource& oldArchive, PatchBlockDecoder& control, PatchBlockDecoder& diff,
                       PatchBlockDecoder& extra, std::uint64_t newSize);

  // One step of the patch. Returns 0 only once the end has been reached and
  // verified: every byte of the new size produced, nothing left in any block,
  // every stored checksum matched. The first error sticks: every later read
  // returns it again.
  Result<std::size_t> read(void* buf, std::size_t n) override;

  // The error that stopped the stream, for a consumer that reports its own
  // error for any failed read.
  std::optional<Error> failure() const { return failure_; }
  // True once the end has been reached and verified.
  bool ended() const { return ended_; }
  std::uint64_t produced() const { return produced_; }

 private:
  Result<std::size_t> applyPatchStep(unsigned char* out, std::size_t space);
  Result<std::size_t> addRun(unsigned char* out, std::size_t space);
  Result<std::size_t> copyRun(unsigned char* out, std::size_t space);
  // Reads the next record; true when one was read, false at the verified end.
  Result<bool> nextRecord();
  Status verifyEnd();

  PatchSource& old_;
  PatchBlockDecoder& control_;
  PatchBlockDecoder& diff_;
  PatchBlockDecoder& extra_;
  std::uint64_t newSize_;
  std::uint64_t addLeft_ = 0;
  std::uint64_t copyLeft_ = 0;
  std::int64_t pendingSeek_ = 0;
  bool seekPending_ = false;
  std::int64_t oldPos_ = 0;  // may lie outside the old archive
  std::uint64_t produced_ = 0;
  std::uint64_t records_ = 0;
  std::uint64_t emptyRecords_ = 0;  // over the whole patch, not in a row
  std::unique_ptr<unsigned char[]> scratch_;  // old bytes of one add run
  std::optional<Error> failure_;
  bool ended_ = false;
};

}  // namespace tl
