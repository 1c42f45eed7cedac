#pragma once
// One block of a patch file: a single Zstandard frame that fills the block
// exactly. openPatchBlock walks the whole frame before anything is decoded,
// so a malformed block fails before it produces a byte; the decoder then
// hands out the decoded bytes and keeps an XXH64 of them, which the patched
// archive reader compares with the frame's checksum at the end.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Largest window a patch frame may ask for (8 MiB).
inline constexpr std::uint64_t kMaxPatchWindow = 8 * 1024 * 1024;
// The frame walk and the decoding read the block through buffers of these sizes.
inline constexpr std::size_t kPatchWalkBuffer = 4096;
inline constexpr std::size_t kPatchInputBuffer = 16 * 1024;

class PatchBlockDecoder {
 public:
  PatchBlockDecoder();
  ~PatchBlockDecoder();
  PatchBlockDecoder(PatchBlockDecoder&&) noexcept;
  PatchBlockDecoder& operator=(PatchBlockDecoder&&) noexcept;

  // Decodes up to n bytes into dst; fewer only at the end of the frame. Every
  // byte handed out goes into the block's XXH64. Errors of the decoder pass up.
  [[nodiscard]] Result<std::size_t> readHashedSlice(void* dst, std::size_t n);

  // The checksum the frame carries, if it carries one.
  std::optional<std::uint32_t> expectedChecksum() const;
  // Low 32 bits of the XXH64 (seed 0) of the bytes handed out so far.
  std::uint32_t digestLow32() const;
  // True while the history buffer is held.
  bool allocated() const;
  // Frees the history buffer and the input; the decoder is unusable after.
  void release();

 private:
  friend Result<PatchBlockDecoder> openPatchBlock(fs::File& file, std::uint64_t offset, std::uint64_t length);
  struct State;
  std::unique_ptr<State> state_;
};

// Checks the frame in [offset, offset + length) of the patch file completely
// (magic, header, dictionary, window, every block header, checksum, the
// frame's end at the block's end), then sets its decoder up. CorruptPatch,
// UnsupportedPatchDictionary, PatchWindowTooLarge, OutOfMemory, Canceled.
[[nodiscard]] Result<PatchBlockDecoder> openPatchBlock(fs::File& file, std::uint64_t offset, std::uint64_t length);

}  // namespace tl
