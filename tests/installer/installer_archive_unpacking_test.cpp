// Streaming decompression and unpacking of the installer's archive into the
// extraction folder, with its recipe file.
#include "installer/installer_archive_unpacking.h"

#include <gtest/gtest.h>

#include "archive/archive_rebuild.h"
#include "archive/tar_reader.h"
#include "archive/update_recipe.h"
#include "archive/zstd_pull_reader.h"
#include "installer/installer_fixture.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

// Serves its bytes a few at a time, and fails after `failAfter` of them.
class DribbleReader final : public PullReader {
 public:
  DribbleReader(std::string bytes, std::size_t piece, std::size_t failAfter = SIZE_MAX)
      : bytes_(std::move(bytes)), piece_(piece), failAfter_(failAfter) {}
  Result<std::size_t> read(void* buf, std::size_t n) override {
    if (pos_ >= failAfter_) return Error::InputOutput;
    std::size_t take = std::min({n, piece_, bytes_.size() - pos_});
    std::memcpy(buf, bytes_.data() + pos_, take);
    pos_ += take;
    return take;
  }

 private:
  std::string bytes_;
  std::size_t piece_;
  std::size_t failAfter_;
  std::size_t pos_ = 0;
};

Result<std::string> decompressAll(PullReader& compressed, std::size_t piece = 1000) {
  ZstdPullReader z(compressed);
  TRY(z.init());
  std::string out;
  std::string buf(piece, '\0');
  for (;;) {
    std::size_t n = TRY(z.read(buf.data(), buf.size()));
    if (n == 0) return out;
    out.append(buf.data(), n);
  }
}

std::string pseudoRandom(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

// A frame whose header announces a window of 2^windowLog bytes, then one
// empty last block.
std::string frameWithWindowLog(unsigned windowLog) {
  std::string f = "\x28\xb5\x2f\xfd";
  f += '\0';                                          // no content size, not single-segment
  f += static_cast<char>((windowLog - 10) << 3);      // window descriptor
  f += std::string("\x01\x00\x00", 3);                // last block, raw, empty
  return f;
}

TEST(ZstdPullReader, StreamsFramesAndReportsBrokenOnes) {
  const std::string a = pseudoRandom(200000, 1) + std::string(300000, 'z');
  const std::string b = "second frame";
  std::string checksummed(ZSTD_compressBound(b.size()), '\0');
  {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    std::size_t n = ZSTD_compress2(c, checksummed.data(), checksummed.size(), b.data(), b.size());
    ZSTD_freeCCtx(c);
    ASSERT_FALSE(ZSTD_isError(n));
    checksummed.resize(n);
  }
  std::string badChecksum = checksummed;
  badChecksum.back() ^= 0x01;
  const std::string skippable = std::string("\x50\x2a\x4d\x18\x03\x00\x00\x00xyz", 11);
  const std::string two = test::zstdCompress(a) + skippable + checksummed;

  struct Case {
    const char* name;
    std::string compressed;
    Result<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"two frames and a skippable one", two, a + b},
      {"frame checksum not verified", badChecksum, b},
      {"empty input", "", std::string()},
      {"8 MiB window", frameWithWindowLog(23), std::string()},
      {"16 MiB window", frameWithWindowLog(24), Error::ZstdWindowTooLarge},
      {"cut inside a frame", two.substr(0, two.size() - 5), Error::UnexpectedEndOfStream},
      {"cut inside the header", two.substr(0, 3), Error::UnexpectedEndOfStream},
      {"not zstd", "plain text, not compressed", Error::DecompressionFailed},
      {"garbage after the last frame", checksummed + "garbage!", Error::DecompressionFailed},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
      SCOPED_TRACE(std::string(c.name) + " in pieces of " + std::to_string(piece));
      DribbleReader source(c.compressed, piece);
      Result<std::string> got = decompressAll(source);
      ASSERT_EQ(got.ok(), c.expected.ok()) << (got.ok() ? "" : errorName(got.error()));
      if (got.ok()) {
        EXPECT_TRUE(*got == *c.expected);
      } else {
        EXPECT_EQ(got.error(), c.expected.error());
      }
    }
  }
}

TEST(ZstdPullReader, SourceErrorIsKept) {
  DribbleReader source(test::zstdCompress(pseudoRandom(100000, 3)), 4096, 8192);
  ZstdPullReader z(source);
  ASSERT_TRUE(z.init().ok());
  std::string buf(4096, '\0');
  Result<std::size_t> r = std::size_t{1};
  while (r.ok() && *r > 0) r = z.read(buf.data(), buf.size());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::InputOutput);
  EXPECT_EQ(z.failure(), std::optional<Error>(Error::InputOutput));
  // A reader that failed keeps failing.
  r = z.read(buf.data(), buf.size());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::InputOutput);
}

TEST(InstallerArchiveUnpacking, RecipeNames) {
  EXPECT_EQ(*installerRecipeFileName(std::nullopt), "current.recipe.json");
  EXPECT_EQ(*installerRecipeFileName("aZ09_-Q"), "aZ09_-Q.recipe.json");
  for (const char* bad : {"", "a.b", "a b", "a/b", "\xc3\xa9", "a\\b"}) {
    Result<std::string> r = installerRecipeFileName(std::string_view(bad));
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error(), Error::InvalidArchiveHash);
  }
}

class Unpacking : public testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(dir_.host("partial")); }
  Status unpack(const std::string& compressed, std::optional<std::string_view> hash = "h1") {
    MemoryPullReader reader(compressed);
    return unpackInstallerArchive(reader, dir_.win("partial"), hash);
  }
  test::TempDir dir_;
};

TEST_F(Unpacking, TreeAndRecipeThatRebuildsTheArchive) {
  const std::string tar = test::demoAppTar("3")
                              .symlink("DemoApp/bin/link", "launcher.exe")
                              .hardlink("DemoApp/bin/hard", "DemoApp/bin/launcher.exe")
                              .file("DemoApp/big.bin", pseudoRandom(3 << 20, 9))
                              .end()
                              .bytes();
  ASSERT_TRUE(unpack(test::zstdCompress(tar)).ok());
  EXPECT_EQ(test::treeOf(dir_.host("partial")).front(), "DemoApp");
  const std::string text = test::IntegrationSandbox::readHost(dir_.host("partial/h1.recipe.json"));
  Result<UpdateRecipe> recipe = parseRecipe(text);
  ASSERT_TRUE(recipe.ok());
  EXPECT_EQ(recipe->root, "DemoApp");
  EXPECT_EQ(recipe->archive_size, tar.size());
  EXPECT_EQ(recipe->archive_sha256, sha256Hex(tar));
  // Written minified, as the recipe writer writes it.
  StringWriter expected;
  ASSERT_TRUE(stringifyRecipe(*recipe, expected).ok());
  EXPECT_TRUE(text == expected.str());

  Result<fs::Dir> root = fs::openDir(dir_.win("partial\\DemoApp"));
  ASSERT_TRUE(root.ok());
  StringWriter rebuilt;
  ASSERT_TRUE(rebuildArchiveFromRecipe(*recipe, *root, rebuilt).ok());
  EXPECT_TRUE(rebuilt.str() == tar);
}

TEST_F(Unpacking, FailuresPassUpUnchanged) {
  const std::string tar = test::demoAppTar("3").end().bytes();
  std::string badChecksum = tar;
  badChecksum[148] = '7';
  struct Case {
    const char* name;
    std::string compressed;
    std::optional<std::string_view> hash;
    Error expected;
  };
  const std::vector<Case> cases = {
      {"hash", test::zstdCompress(tar), "no good", Error::InvalidArchiveHash},
      {"window", frameWithWindowLog(25), "h", Error::ZstdWindowTooLarge},
      {"truncated tar", test::zstdCompress(tar.substr(0, 1000)), "h", Error::TruncatedTar},
      {"header checksum", test::zstdCompress(badChecksum), "h", Error::InvalidTarChecksum},
      {"device entry", test::zstdCompress(test::TarBuilder().dir("R").entry([] {
         test::TarHeader h;
         h.name = "R/dev";
         h.typeflag = '3';
         return h;
       }()).end().bytes()),
       "h", Error::UnsupportedTarType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.host("partial"));
    std::filesystem::create_directory(dir_.host("partial"));
    Status s = unpack(c.compressed, c.hash);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), c.expected);
    EXPECT_FALSE(test::hostExists(dir_.host("partial/h.recipe.json")));
  }
}

TEST_F(Unpacking, HashIsCheckedBeforeAnythingIsOpened) {
  std::filesystem::remove_all(dir_.host("partial"));
  Status s = unpack("whatever", "a.b");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::InvalidArchiveHash);
}

}  // namespace
}  // namespace tl
