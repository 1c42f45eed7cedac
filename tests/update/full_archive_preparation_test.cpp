// The full road's stream consumer over bytes in memory: the decoded-size cap
// (lowered here, as the 16 GiB of the release cannot be reached in a test),
// the decoder's settings, and the small helpers the driver cleans up with.
#include "update/full_archive_preparation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "common/sha256.h"
#include "installer/installer_fixture.h"
#include "support/patch_maker.h"
#include "support/temp_dir.h"
#include "update/interrupted_preparations.h"
#include "update/stale_archives.h"

namespace tl {
namespace {

std::string sampleTar(std::size_t dataBytes) {
  return test::TarBuilder()
      .dir("DemoApp")
      .file("DemoApp/data.bin", std::string(dataBytes, 'z'))
      .file("DemoApp/readme.txt", "hello")
      .end()
      .bytes();
}

std::uint64_t bytesBelow(const std::string& host) {
  std::uint64_t total = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(host)) {
    if (e.is_regular_file()) total += e.file_size();
  }
  return total;
}

struct StreamCase {
  std::string name;
  std::function<std::string(const std::string& tar)> compress;
  std::optional<std::int64_t> capOffset;  // cap = tar size + offset; none: the release cap
  std::optional<Error> expected;
};
void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class ExtractTarZstStream : public testing::TestWithParam<StreamCase> {};

TEST_P(ExtractTarZstStream, Outcome) {
  const StreamCase& c = GetParam();
  // Megabytes of one byte value: libzstd makes a download of a few hundred
  // bytes of them, which the cap must stop long before it reaches the disk.
  const std::string tar = sampleTar(4 << 20);
  const std::string body = c.compress(tar);
  test::TempDir stage;
  const fs::Dir stageDir = fs::openDir(stage.win("")).value();
  MemoryPullReader reader(body);
  const std::uint64_t cap = c.capOffset ? tar.size() + *c.capOffset : kMaxFullArchiveSize;

  const Result<UpdateRecipe> got = extractTarZstStream(stageDir, reader, cap);

  // Nothing beyond the cap ever reaches the disk.
  EXPECT_LE(bytesBelow(stage.host("")), cap);
  if (c.expected) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(errorName(got.error()), errorName(*c.expected));
    return;
  }
  ASSERT_TRUE(got.ok()) << errorName(got.error());
  EXPECT_EQ(got->archive_size, tar.size());
  EXPECT_EQ(got->archive_sha256, sha256Hex(tar));
  EXPECT_EQ(std::filesystem::file_size(stage.host("DemoApp/data.bin")), 4u << 20);
}

std::string compressed(const std::string& tar) {
  std::string out = test::zstdCompress(tar);
  EXPECT_LT(out.size(), 4096u);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExtractTarZstStream,
    testing::Values(
        StreamCase{"ReleaseCap", compressed, std::nullopt, std::nullopt},
        StreamCase{"ExactlyTheCap", compressed, 0, std::nullopt},
        StreamCase{"OneByteBeyondTheCap", compressed, -1, Error::UpdateArchiveTooLarge},
        StreamCase{"FarBeyondTheCap", compressed, -(3 << 20), Error::UpdateArchiveTooLarge},
        StreamCase{"WindowOf16MiB",
                   [](const std::string& tar) {
                     return test::zstdFrame(tar, {.blocks = test::FrameBlocks::Rle, .windowLog = 24});
                   },
                   std::nullopt, Error::ZstdWindowTooLarge},
        StreamCase{"WrongFrameChecksumIsNotLookedAt",
                   [](const std::string& tar) {
                     std::string frame = test::zstdFrame(tar, {.checksum = true});
                     frame.back() ^= 0x5a;
                     return frame;
                   },
                   std::nullopt, std::nullopt}),
    [](const testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

TEST(StaleArchives, OnlyOtherVersionsArchivesGo) {
  test::TempDir t;
  for (const char* name : {"b1.tar", "a2.tar", "ABC.tar", "abcdefghijklmn.tar", "a2.recipe.json", ".tar"}) {
    std::ofstream(t.host(name)) << "x";
  }
  std::filesystem::create_directory(t.host("c3.tar"));
  const fs::Dir dir = fs::openDir(t.win("")).value();
  ASSERT_TRUE(removeStaleArchives(dir, "b1").ok());
  std::set<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(t.host(""))) left.insert(e.path().filename());
  EXPECT_EQ(left,
            (std::set<std::string>{"b1.tar", "ABC.tar", "abcdefghijklmn.tar", "a2.recipe.json", ".tar", "c3.tar"}));
}

TEST(InterruptedPatchFiles, NamesOfPatchFiles) {
  const std::string id = "0123456789abcdef0123456789abcdef";
  const struct {
    std::string name;
    bool patch;
  } rows[] = {
      {".patch-" + id + "-0.partial", true},     {".patch-" + id + "-63.partial", true},
      {".patch-" + id + "-07.partial", false},   {".patch-" + id + "-.partial", false},
      {".patch-" + id + "-100.partial", false},  {".patch-" + id + "-1.partialx", false},
      {".patch-" + id.substr(1) + "-1.partial", false},
  };
  for (const auto& row : rows) EXPECT_EQ(isPatchFileName(row.name), row.patch) << row.name;
}

}  // namespace
}  // namespace tl
