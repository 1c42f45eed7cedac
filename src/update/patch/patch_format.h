#pragma once
// The TRDIFF10 patch file: a 32-byte header, then the control, diff and
// extra blocks back to back, each one Zstandard frame. Integers are 64-bit
// little-endian sign-magnitude words (bit 63 the sign).
#include <cstddef>
#include <cstdint>

#include "common/result.h"
#include "platform/fs.h"
#include "update/patch/patch_block_decoder.h"

namespace tl {

inline constexpr std::size_t kPatchHeaderSize = 32;
// The largest new archive a patch may produce (16 GiB).
inline constexpr std::uint64_t kMaxPatchedArchiveSize = 16ull * 1024 * 1024 * 1024;

struct PatchFileHeader {
  std::uint64_t controlLength = 0;
  std::uint64_t diffLength = 0;
  std::uint64_t newSize = 0;
};

// The value of a sign-magnitude word; a word with only the sign bit reads 0.
std::int64_t decodeSignMagnitude(const unsigned char* word);

// Reads and checks the header of a patch file of fileSize bytes: its length,
// the magic, lengths that are not negative and lie inside the file.
// CorruptPatch; read errors pass up.
[[nodiscard]] Result<PatchFileHeader> readPatchFileHeader(fs::File& file, std::uint64_t fileSize);

// An opened patch: its header and the decoders of its three blocks.
struct PatchContext {
  PatchFileHeader header;
  PatchBlockDecoder control;
  PatchBlockDecoder diff;
  PatchBlockDecoder extra;
};

// The header and the three blocks, each checked whole (their errors);
// UpdateArchiveTooLarge when the new size passes kMaxPatchedArchiveSize.
[[nodiscard]] Result<PatchContext> openPatchFile(fs::File& file, std::uint64_t fileSize);

// Frees the history buffers of the blocks that hold one.
void freePatchStreams(PatchContext& patch);

}  // namespace tl
