#include "update/patch/patched_archive_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "platform/io_context.h"
#include "support/patch_maker.h"
#include "support/temp_dir.h"
#include "update/patch/patch_format.h"

namespace tl {
namespace {

using test::FrameBlocks;
using test::FrameSpec;
using test::PatchRecord;

constexpr std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();
const FrameSpec kZstd{};
const FrameSpec kRaw{.blocks = FrameBlocks::Raw};

std::string frame(std::string_view content, const FrameSpec& shape = kZstd) { return test::zstdFrame(content, shape); }

// A patch of the three decoded streams, each framed as asked.
std::string patchOf(const std::vector<PatchRecord>& records, std::string_view diff, std::string_view extra,
                    std::uint64_t newSize, const FrameSpec& shape = kZstd) {
  return test::patchFile(frame(test::controlBytes(records), shape), frame(diff, shape), frame(extra, shape), newSize);
}

class PatchReaderTest : public ::testing::Test {
 protected:
  // Opens the patch as a file and reads the new archive in pulls of `piece`
  // bytes: everything up to the verified end, or the first error.
  Result<std::string> apply(const std::string& patch, std::string_view old, std::size_t piece = 65536) {
    MemoryPatchSource source(old);
    return apply(patch, source, piece);
  }
  Result<std::string> apply(const std::string& patch, PatchSource& source, std::size_t piece = 65536) {
    fs::File file = TRY(writePatch(patch));
    PatchContext ctx = TRY(openPatchFile(file, patch.size()));
    PatchedArchiveReader reader(source, ctx.control, ctx.diff, ctx.extra, ctx.header.newSize);
    std::string out;
    std::string buf(piece, '\0');
    for (;;) {
      const Result<std::size_t> got = reader.read(buf.data(), piece);
      if (!got) {
        EXPECT_EQ(reader.failure(), got.error());
        EXPECT_EQ(reader.read(buf.data(), piece).error(), got.error());  // the error sticks
        return got.error();
      }
      if (*got == 0) break;
      out.append(buf, 0, *got);
    }
    EXPECT_TRUE(reader.ended());
    EXPECT_EQ(reader.read(buf.data(), piece).value(), 0u);
    freePatchStreams(ctx);
    EXPECT_FALSE(ctx.control.allocated() || ctx.diff.allocated() || ctx.extra.allocated());
    return out;
  }

  // What opening the patch says, before any byte is decoded.
  std::string openError(const std::string& patch) {
    Result<fs::File> file = writePatch(patch);
    if (!file) return std::string(errorName(file.error()));
    const Result<PatchContext> ctx = openPatchFile(*file, patch.size());
    return ctx ? "opened" : std::string(errorName(ctx.error()));
  }

  Result<fs::File> writePatch(const std::string& patch) {
    std::ofstream(dir_.host("p"), std::ios::binary | std::ios::trunc) << patch;
    return fs::openFileRead(dir_.win("p"));
  }

  test::TempDir dir_;
};

std::string errorOf(const Result<std::string>& r) { return r ? "ok:" + *r : std::string(errorName(r.error())); }

// The header checks, then each block's frame walk, then the size cap, in
// this order: each row breaks one rule and keeps the earlier ones.
TEST_F(PatchReaderTest, HeaderAndFrameChecksInOrder) {
  const std::string empty = frame("");
  const std::string good = patchOf({}, "", "", 0);
  auto withWord = [&](std::size_t at, std::uint64_t bits) {
    std::string p = good;
    p.replace(at, 8, test::rawWord(bits));
    return p;
  };
  auto withControl = [&](const std::string& controlFrame, std::uint64_t newSize = 0) {
    return test::patchFile(controlFrame, empty, empty, newSize);
  };
  std::string reserved = empty;
  reserved[4] = static_cast<char>(reserved[4] | 0x08);
  const std::string sixteenMiB = frame("", {.blocks = FrameBlocks::Raw, .windowLog = 24});
  // A control frame written by hand: no checksum, the window descriptor
  // (1 KiB unless told), then block headers and bodies.
  auto blocks = [&](std::string headerAndBody, char window = '\x00') {
    return withControl(std::string("\x28\xB5\x2F\xFD\x00", 5) + window + headerAndBody);
  };
  const std::string lastEmptyBlock("\x01\x00\x00", 3);
  const std::uint64_t sign = std::uint64_t{1} << 63;
  const std::uint64_t cap = 16ull << 30;

  struct {
    const char* what;
    std::string patch;
    const char* expected;
  } cases[] = {
      {"31 bytes", good.substr(0, 31), "CorruptPatch"},
      {"magic", std::string("TRDIFF11") + good.substr(8), "CorruptPatch"},
      {"control length -1", withWord(8, sign | 1), "CorruptPatch"},
      {"diff length -1", withWord(16, sign | 1), "CorruptPatch"},
      {"new size -1", withWord(24, sign | 1), "CorruptPatch"},
      {"new size -0 reads 0", withWord(24, sign), "ok:"},
      {"control beyond the file", withWord(8, good.size() - 31), "CorruptPatch"},
      {"diff beyond the file", withWord(16, good.size() - 32 - empty.size() + 1), "CorruptPatch"},
      {"only a header: empty blocks", good.substr(0, 32), "CorruptPatch"},
      {"skippable frame", withControl(std::string("\x50\x2A\x4D\x18\0\0\0\0", 8)), "CorruptPatch"},
      {"reserved bit", withControl(reserved), "CorruptPatch"},
      {"header cut short", withControl(empty.substr(0, 5)), "CorruptPatch"},
      {"dictionary id", withControl(frame("", {.blocks = FrameBlocks::Raw, .dictionaryId = 7})), "UnsupportedPatchDictionary"},
      {"dictionary before window",
       withControl(frame("", {.blocks = FrameBlocks::Raw, .dictionaryId = 7, .windowLog = 24})),
       "UnsupportedPatchDictionary"},
      {"16 MiB window", withControl(sixteenMiB), "PatchWindowTooLarge"},
      {"9 MiB window: the mantissa counts", blocks(lastEmptyBlock, '\x69'), "PatchWindowTooLarge"},
      {"8 MiB window", blocks(lastEmptyBlock, '\x68'), "ok:"},
      {"7.5 MiB window", blocks(lastEmptyBlock, '\x67'), "ok:"},
      // 131,073 bytes, the last block, in a window of 1 MiB.
      {"block header above 0x100007", blocks(std::string("\x09\x00\x10", 3) + std::string(131073, 'a'), '\x50'),
       "CorruptPatch"},
      {"block above the window", blocks(std::string("\x09\x20\x00", 3) + std::string(1025, 'a')), "CorruptPatch"},
      {"block type 3", blocks(std::string("\x07\x00\x00", 3)), "CorruptPatch"},
      {"no last block", blocks(std::string("\x00\x00\x00", 3)), "CorruptPatch"},
      {"frame runs past its block", blocks(std::string("\x09\x00\x00", 3)), "CorruptPatch"},
      {"byte after the frame", withControl(empty + "x"), "CorruptPatch"},
      {"second frame", withControl(empty + empty), "CorruptPatch"},
      {"checksum cut short", withControl(empty.substr(0, empty.size() - 1)), "CorruptPatch"},
      {"bad extra after good blocks", test::patchFile(empty, empty, sixteenMiB, 0), "PatchWindowTooLarge"},
      {"blocks before the size cap", test::patchFile(empty, sixteenMiB, empty, cap + 1), "PatchWindowTooLarge"},
      {"new size above 16 GiB", withWord(24, cap + 1), "UpdateArchiveTooLarge"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(apply(c.patch, "")), c.expected) << c.what;
    // Each refusal comes from the checks made before any byte is decoded.
    if (std::string_view(c.expected).substr(0, 3) != "ok:") {
      EXPECT_EQ(openError(c.patch), c.expected) << c.what;
    }
  }

  // Exactly 16 GiB opens; the stream then stops short of it.
  EXPECT_EQ(errorOf(apply(withWord(24, cap), "")), "CorruptPatch");
}

// What the streams produce over one old archive, framed every way a block
// may be framed.
TEST_F(PatchReaderTest, StreamsAndTheirEnd) {
  const std::string old = "0123456789";
  const std::string s300(300, 's');
  const std::string s300Out = "ok:" + s300;
  std::string flipped = patchOf({{0, 3, 0}}, "", "abc", 3, kRaw);
  flipped[flipped.size() - 6] = 'x';  // a raw content byte of the extra block, under its checksum

  struct {
    const char* what;
    std::string patch;
    const char* expected;
  } cases[] = {
      {"add with differences, copy, negative seek, add again",
       patchOf({{3, 2, -2}, {2, 0, 0}}, std::string("\x01\x00\xFF\x00\x00", 5), "xy", 7), "ok:111xy12"},
      {"seek before and past the old archive reads zeros",
       patchOf({{0, 0, -2}, {4, 0, 20}, {3, 0, 0}}, std::string("\x01\x01\x01\x01\x01\x01\x01", 7), "", 7),
       "ok:\x01\x01" "12\x01\x01\x01"},
      {"add and copy both 0 only seek", patchOf({{0, 0, 5}, {0, 0, 0}, {2, 0, 0}}, std::string(2, '\0'), "", 2),
       "ok:56"},
      {"raw blocks of 7 bytes, no checksums",
       patchOf({{0, 20, 0}}, "", "abcdefghijklmnopqrst", 20, {.blocks = FrameBlocks::Raw, .checksum = false, .blockSize = 7}),
       "ok:abcdefghijklmnopqrst"},
      {"RLE blocks", patchOf({{0, 12, 0}}, "", "aaaabbbbcdcd", 12, {.blocks = FrameBlocks::Rle, .blockSize = 4}),
       "ok:aaaabbbbcdcd"},
      {"single-segment frames", patchOf({{0, 2, 0}}, "", "hi", 2, {.blocks = FrameBlocks::Raw, .singleSegment = true}),
       "ok:hi"},
      {"single-segment frames with a two-byte content size",
       patchOf({{0, 300, 0}}, "", s300, 300, {.blocks = FrameBlocks::Raw, .singleSegment = true}), s300Out.c_str()},
      {"new size 0", patchOf({}, "", "", 0), "ok:"},
      {"a flipped byte under the checksum", flipped, "PatchChecksumMismatch"},
      {"a flipped byte without a checksum", [&] {
         std::string p = patchOf({{0, 3, 0}}, "", "abc", 3, {.blocks = FrameBlocks::Raw, .checksum = false});
         p.back() = 'x';
         return p;
       }(), "ok:abx"},
      {"control block ends before the new size", patchOf({{0, 2, 0}}, "", "ab", 3), "CorruptPatch"},
      {"a trailing partial record", test::patchFile(frame(test::controlBytes({{0, 1, 0}}) + "z"), frame(""), frame("a"), 1),
       "CorruptPatch"},
      {"a decoded byte left in the diff block", patchOf({{1, 0, 0}}, "ab", "", 1), "CorruptPatch"},
      {"the diff block ends inside a run", patchOf({{2, 0, 0}}, "a", "", 2), "CorruptPatch"},
      {"the extra block ends inside a run", patchOf({{0, 2, 0}}, "", "a", 2), "CorruptPatch"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(apply(c.patch, old)), c.expected) << c.what;
    EXPECT_EQ(errorOf(apply(c.patch, old, 1)), c.expected) << c.what << ", pulled a byte at a time";
  }
}

// Values near the ends of their ranges fail by name instead of wrapping.
TEST_F(PatchReaderTest, HostileArithmetic) {
  const std::string old = "0123456789";
  const std::uint64_t cap = 16ull << 30;
  auto zeros = [](std::size_t records) { return test::patchFile(frame(std::string(24 * records, '\0')), frame(""), frame(""), 0); };
  // Runs of records that add and copy nothing, each followed by a copy of
  // one byte: the limit counts them over the whole patch, not in a row.
  auto emptyRuns = [](std::vector<std::size_t> runs) {
    std::vector<PatchRecord> records;
    for (std::size_t n : runs) {
      records.insert(records.end(), n, PatchRecord{0, 0, 1});
      records.push_back({0, 1, 0});
    }
    return patchOf(records, "", std::string(runs.size(), 'a'), runs.size());
  };
  struct {
    const char* what;
    std::string patch;
    const char* expected;
  } cases[] = {
      {"seek to the largest position, then add", patchOf({{0, 0, kMaxI64}, {1, 0, 0}}, "a", "", 1), "CorruptPatch"},
      {"two seeks past the largest position", patchOf({{0, 0, kMaxI64}, {0, 0, 1}, {0, 0, 0}}, "", "", 0), "CorruptPatch"},
      {"two seeks past the smallest position", patchOf({{0, 0, -kMaxI64}, {0, 0, -kMaxI64}, {0, 0, 0}}, "", "", 0),
       "CorruptPatch"},
      {"largest seek, back again, add", patchOf({{0, 0, kMaxI64}, {0, 0, -kMaxI64}, {1, 0, 0}}, "\x01", "", 1), "ok:1"},
      {"add of the largest length", patchOf({{std::uint64_t(kMaxI64), 0, 0}}, "", "", cap), "CorruptPatch"},
      {"copy of the largest length", patchOf({{0, std::uint64_t(kMaxI64), 0}}, "", "", cap), "CorruptPatch"},
      {"add of the whole size and a copy of 1", patchOf({{cap, 1, 0}}, "", "", cap), "CorruptPatch"},
      {"add of the whole size, diff short", patchOf({{cap, 0, 0}}, "abc", "", cap), "CorruptPatch"},
      {"negative add", test::patchFile(frame(test::signMagnitudeWord(-1) + std::string(16, '\0')), frame(""), frame(""), 0),
       "CorruptPatch"},
      {"1,024 records for new size 0", zeros(1024), "ok:"},
      {"1,025 records for new size 0", zeros(1025), "CorruptPatch"},
      {"1,024 empty records for new size 1", emptyRuns({1024}), "ok:a"},
      {"1,025 empty records for new size 1", emptyRuns({1025}), "CorruptPatch"},
      {"1,024 empty records, not in a row", emptyRuns({600, 424}), "ok:aa"},
      {"1,025 empty records, not in a row", emptyRuns({600, 425}), "CorruptPatch"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf(apply(c.patch, old)), c.expected) << c.what;

  // A source that claims more than it holds: the read outside it is named.
  struct Short final : PatchSource {
    std::uint64_t length() const override { return 20; }
    Status readAt(std::uint64_t offset, void* dst, std::size_t n) override {
      return readPatchSource("0123456789", offset, dst, n);
    }
  } claimsMore;
  EXPECT_EQ(errorOf(apply(patchOf({{0, 0, 8}, {4, 0, 0}}, std::string(4, '\0'), "", 4), claimsMore)),
            "TruncatedPatchSource");
  EXPECT_EQ(errorOf(apply(patchOf({{0, 0, 6}, {4, 0, 0}}, std::string(4, '\0'), "", 4), claimsMore)), "ok:6789");
}

TEST_F(PatchReaderTest, CanceledBetweenPulls) {
  IoContext ctx;
  ScopedIo scoped(ctx);
  ctx.cancel();
  EXPECT_EQ(errorOf(apply(patchOf({{0, 1, 0}}, "", "a", 1), "")), "Canceled");
}

// A cancel while the stream runs ends it at the next pull or record, though
// all the rest of the patch is already read from the file.
TEST_F(PatchReaderTest, CanceledBetweenRecords) {
  IoContext ctx;
  ScopedIo scoped(ctx);
  struct Canceling final : PatchSource {
    std::uint64_t length() const override { return 10; }
    Status readAt(std::uint64_t offset, void* dst, std::size_t n) override {
      io().cancel();
      return readPatchSource("0123456789", offset, dst, n);
    }
  } cancels;
  // The copy reads the extra block in; the first add cancels.
  EXPECT_EQ(errorOf(apply(patchOf({{0, 1, 0}, {1, 0, 0}, {1, 0, 0}}, std::string(2, '\0'), "a", 3), cancels)),
            "Canceled");
}

// Patches made by the matcher reproduce the new file, whatever the pulls.
TEST_F(PatchReaderTest, RoundTripThroughThePatchMaker) {
  std::string old(300 * 1024, '\0');
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (char& c : old) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  // Pieces moved around, one edited in a few bytes, new bytes in between.
  std::string edited = old.substr(1000, 50000);
  edited[100] ^= 1, edited[20000] ^= 0x55;
  const std::string nw = old.substr(200000, 60000) + "new bytes here" + edited + old.substr(0, 1000) +
                         old.substr(250000) + std::string(5000, 'z');
  const std::string patch = test::makePatch(old, nw);
  EXPECT_LT(patch.size(), nw.size() / 20);
  for (std::size_t piece : {std::size_t{1}, std::size_t{511}, std::size_t{65536}, std::size_t{100000}}) {
    EXPECT_EQ(apply(patch, old, piece).value(), nw) << piece;
  }
  EXPECT_EQ(apply(test::makePatch(old, ""), old).value(), "");
  EXPECT_EQ(apply(test::makePatch("", "only new"), "").value(), "only new");
}

}  // namespace
}  // namespace tl
