#pragma once
// Makes TRDIFF10 patch files for tests, benchmarks and demos: frames written
// by hand where a test needs raw or RLE blocks, a dictionary id or a chosen
// window, compressed frames through libzstd, and a block-hash matcher that
// turns an old and a new archive into a small patch.
//
//   std::string patch = tl::test::makePatch(oldBytes, newBytes);
//   std::string hostile = tl::test::patchFile(
//       tl::test::zstdFrame(tl::test::controlBytes({{4, 0, -2}}), {}),
//       tl::test::zstdFrame("\1\1\1\1", {.blocks = tl::test::FrameBlocks::Raw}),
//       tl::test::zstdFrame("", {}), 4);
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tl::test {

// One control record: add run, copy run, then the seek in the old archive.
struct PatchRecord {
  std::uint64_t add = 0;
  std::uint64_t copy = 0;
  std::int64_t seek = 0;
};

// A 64-bit little-endian word holding exactly these bits.
std::string rawWord(std::uint64_t bits);
// The sign-magnitude word of a value (bit 63 the sign).
std::string signMagnitudeWord(std::int64_t value);
// The decoded control block of these records.
std::string controlBytes(const std::vector<PatchRecord>& records);

enum class FrameBlocks {
  Compressed,  // libzstd decides (blocks of up to 128 KiB)
  Raw,         // written by hand: raw blocks of blockSize bytes
  Rle,         // written by hand: an RLE block for every chunk of one repeated byte, raw otherwise
};

struct FrameSpec {
  FrameBlocks blocks = FrameBlocks::Compressed;
  bool checksum = true;
  // Hand-written frames: no window descriptor, the content size stands for
  // the window; libzstd makes one on its own when the content fits its window.
  bool singleSegment = false;
  // Hand-written frames: a dictionary ID field with this value.
  std::optional<std::uint32_t> dictionaryId;
  // The window is 2^windowLog bytes (10 to 41 by hand, at most 27 for libzstd).
  unsigned windowLog = 23;
  std::size_t blockSize = 128 * 1024;  // hand-written frames
  int level = 3;                       // compressed frames
};

// One Zstandard frame whose content is `content`.
std::string zstdFrame(std::string_view content, const FrameSpec& shape);

// The header and the three frames back to back.
std::string patchFile(std::string_view controlFrame, std::string_view diffFrame, std::string_view extraFrame,
                      std::uint64_t newSize);

// Records that turn oldBytes into newBytes: matches of at least 32 bytes
// found through a hash of old blocks, extended both ways; a gap between two
// matches on the same alignment stays inside the add run (its differences
// are the diff bytes), other gaps become copy runs.
std::vector<PatchRecord> matchArchives(std::string_view oldBytes, std::string_view newBytes);

// A complete patch from oldBytes to newBytes, its three blocks compressed
// with libzstd at `level` with checksums and a window of 8 MiB.
std::string makePatch(std::string_view oldBytes, std::string_view newBytes, int level = 3);

}  // namespace tl::test
