// The full road's stream consumer over bytes in memory: the decoded-size cap
// (lowered here, as the 16 GiB of the release cannot be reached in a test),
// the decoder's settings, and the small helpers the driver cleans up with;
// and the road itself over loopback HTTP.
#include "update/prepare/full_archive_preparation.h"

#include <gtest/gtest.h>

#include <chrono>
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
#include "update/http_test_server.h"
#include "update/prepare/interrupted_preparations.h"
#include "update/prepare/prepare_fixture.h"
#include "update/prepare/stale_archives.h"

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

  const Result<UpdateRecipe> got = extractTarZstStream(stageDir, reader, DecodedCap{cap, Error::UpdateArchiveTooLarge});

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

// The road over loopback HTTP, for what only a network shows: a server that
// stalls, and a download that unpacks far beyond what the request announces.
struct RoadCase {
  std::string name;
  std::string tar;
  bool stall;                            // the server holds the connection after the body
  std::optional<std::uint64_t> tarSize;  // the request's
  Error expected;
};
void PrintTo(const RoadCase& c, std::ostream* os) { *os << c.name; }

class FullRoad : public testing::TestWithParam<RoadCase> {
 public:
  static void SetUpTestSuite() {
    server_ = new test::HttpTestServer(TL_SOURCE_DIR "/tests/update/http_test_server.py");
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static test::HttpTestServer* server_;
};
test::HttpTestServer* FullRoad::server_ = nullptr;

TEST_P(FullRoad, EndsAtTheFirstFault) {
  const RoadCase& c = GetParam();
  const std::string artifact = "stable-win-x64-2.tar.zst";
  const std::string served = server_->filesFolder() + "/" + artifact;
  std::filesystem::remove_all(server_->filesFolder());
  std::filesystem::create_directories(server_->filesFolder());
  std::ofstream(served, std::ios::binary) << test::zstdCompress(c.tar);
  if (c.stall) std::ofstream(served + ".stall") << "";
  test::TempDir parent;
  PreparationState st;
  PrepareUpdateRequest& r = st.request.request;
  r.transaction_id = test::kTransactionId;
  r.base_url = "http://127.0.0.1:" + server_->port("http") + "/files";
  r.artifact_file = artifact;
  r.tar_size = c.tarSize;
  st.bundleParent = fs::openDir(parent.win("")).value();
  st.stageName = std::string("app.prepare-") + test::kTransactionId;
  const auto began = std::chrono::steady_clock::now();

  const Result<StagedUpdate> got = prepareFullArchive(st);

  ASSERT_FALSE(got.ok());
  EXPECT_EQ(errorName(got.error()), errorName(c.expected));
  // The server holds a stalled connection for 30 s; the road must not wait
  // for it.
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(15));
  // The stage never holds more than the announced size and a block.
  if (c.tarSize) {
    EXPECT_LE(bytesBelow(parent.host(st.stageName)), *c.tarSize + 512);
  }
}

// Bytes that do not compress, with a header broken in the read-ahead's
// second chunk and 2 MiB after it: the download's buffers pass a chunk on
// only once it is full, so the unpacker meets the broken header while the
// read-ahead has taken in all that the server sent and waits for more.
std::string brokenSecondHeader() {
  std::string data(2 << 20, '\0');
  std::uint32_t x = 12345;
  for (char& c : data) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  const std::size_t first = 3 << 19;
  std::string tar = test::TarBuilder()
                        .dir("DemoApp")
                        .file("DemoApp/a.bin", data.substr(0, first))
                        .file("DemoApp/b.bin", data)
                        .end()
                        .bytes();
  tar[1024 + first] ^= 1;  // b.bin's stored checksum no longer holds
  return tar;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FullRoad,
    testing::Values(RoadCase{"BrokenArchiveThenStall", brokenSecondHeader(), true, std::nullopt,
                             Error::InvalidTarChecksum},
                    // 4 MiB unpacked from a few hundred bytes of download.
                    RoadCase{"UnpacksBeyondTarSize", sampleTar(4 << 20), false, 64 * 1024,
                             Error::ArchiveSizeMismatch}),
    [](const testing::TestParamInfo<RoadCase>& info) { return info.param.name; });

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

}  // namespace
}  // namespace tl
