#include "archive/tar_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "support/tar_builder.h"

namespace tl {
namespace {

using test::TarBuilder;
using test::TarHeader;

Result<ExtractedArchive> readTar(const std::string& bytes, std::optional<std::uint64_t> expected = std::nullopt) {
  MemoryPullReader reader(bytes);
  return extractTarArchive(reader, expected, nullptr);
}

Error readError(const std::string& bytes, std::optional<std::uint64_t> expected = std::nullopt) {
  auto r = readTar(bytes, expected);
  EXPECT_FALSE(r.ok()) << "archive was accepted";
  return r.ok() ? Error::Unexpected : r.error();
}

UpdateRecipe recipeOf(const std::string& bytes) {
  auto r = readTar(bytes);
  EXPECT_TRUE(r.ok()) << errorName(r.error());
  return r.ok() ? std::move(r.value().recipe) : UpdateRecipe{};
}

std::string hexOf(std::string_view bytes) {
  return toLowerHex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Hands out the stream in small uneven pieces, as a decompressor might, and
// remembers the largest request.
class TricklingReader final : public PullReader {
 public:
  explicit TricklingReader(std::string_view bytes) : bytes_(bytes) {}
  Result<std::size_t> read(void* buf, std::size_t n) override {
    largestRequest = std::max(largestRequest, n);
    const std::size_t take = std::min({n, bytes_.size() - pos_, 1 + (pos_ * 7) % 13});
    std::memcpy(buf, bytes_.data() + pos_, take);
    pos_ += take;
    return take;
  }
  std::size_t largestRequest = 0;

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

class FailingReader final : public PullReader {
 public:
  explicit FailingReader(std::string_view bytes) : inner_(bytes) {}
  Result<std::size_t> read(void* buf, std::size_t n) override {
    if (inner_.position() >= 1024) return Error::DecompressionFailed;
    return inner_.read(buf, std::min<std::size_t>(n, 1024 - inner_.position()));
  }

 private:
  MemoryPullReader inner_;
};

// --- numbers -------------------------------------------------------------

struct NumberCase {
  std::string field;
  std::optional<std::uint64_t> value;
  Error error = Error::InvalidTarNumber;
};

TEST(ParseTarNumber, OctalTextAndBase256) {
  const std::string b256max = std::string("\x80\0\0\0", 4) + std::string(8, '\xff');
  const std::vector<NumberCase> cases = {
      {std::string("0000755\0", 8), 0755},
      {std::string("012345\0 ", 8), 012345},
      {std::string("   17  \0", 8), 017},
      {std::string(8, '\0'), 0},
      {std::string(8, ' '), 0},
      {"+7", 7},
      {"-0", 0},
      {"-00", 0},
      {"1_2", 012},
      {"1__2", 012},
      {"1777777777777777777777", 0xFFFFFFFFFFFFFFFFull},
      {"2000000000000000000000", std::nullopt},
      {"-1", std::nullopt},
      {"+", std::nullopt},
      {"_1", std::nullopt},
      {"1_", std::nullopt},
      {"8", std::nullopt},
      {"1 2", std::nullopt},
      {std::string("1\0" "2", 3), std::nullopt},
      {"0x10", std::nullopt},
      {std::string("\x80\0\0\0\0\0\0\0\0\0\0\x03", 12), 3},
      {b256max, 0xFFFFFFFFFFFFFFFFull},
      {std::string("\x80\0\0\x01", 4) + std::string(8, '\0'), std::nullopt, Error::Overflow},
      {std::string("\x81", 1) + std::string(11, '\0'), std::nullopt, Error::Overflow},
      {std::string("\xff", 1) + std::string(11, '\xff'), std::nullopt, Error::InvalidTarNumber},
      {std::string("\xc0", 1) + std::string(11, '\0'), std::nullopt, Error::InvalidTarNumber},
  };
  for (const NumberCase& c : cases) {
    const Result<std::uint64_t> r = parseTarNumber(c.field);
    if (c.value) {
      ASSERT_TRUE(r.ok()) << testing::PrintToString(c.field);
      EXPECT_EQ(*r, *c.value) << testing::PrintToString(c.field);
    } else {
      ASSERT_FALSE(r.ok()) << testing::PrintToString(c.field);
      EXPECT_EQ(r.error(), c.error) << testing::PrintToString(c.field);
    }
  }
}

// --- recipe shape ----------------------------------------------------------

TEST(TarReader, RecipeOfRootFolderAndOneFile) {
  const std::string tar = TarBuilder().dir("app", 0750).file("app/a", "abc", 0640).end().bytes();
  ASSERT_EQ(tar.size(), 2560u);
  const UpdateRecipe r = recipeOf(tar);
  EXPECT_EQ(r.schema_version, 1u);
  EXPECT_EQ(r.root, "app");
  EXPECT_EQ(r.root_mode, 0750u);
  EXPECT_EQ(r.archive_size, 2560u);
  EXPECT_EQ(r.archive_sha256, sha256Hex(tar));
  ASSERT_EQ(r.entries.size(), 1u);
  const RecipeEntry& e = r.entries[0];
  EXPECT_EQ(e.path, "a");
  EXPECT_EQ(e.kind, RecipeEntryKind::file);
  EXPECT_EQ(e.mode, 0640u);
  EXPECT_EQ(e.size, 3u);
  EXPECT_EQ(e.sha256, sha256Hex("abc"));
  EXPECT_FALSE(e.link_target);
  EXPECT_EQ(e.tar_offset, 1024u);
  ASSERT_EQ(r.spans.size(), 3u);
  EXPECT_EQ(r.spans[0].size, 1024u);
  EXPECT_EQ(r.spans[0].literal_hex, hexOf(tar.substr(0, 1024)));
  EXPECT_FALSE(r.spans[0].path);
  EXPECT_EQ(r.spans[1].path, "a");
  EXPECT_EQ(r.spans[1].size, 3u);
  EXPECT_FALSE(r.spans[1].literal_hex);
  EXPECT_EQ(r.spans[2].size, 1533u);
  EXPECT_EQ(r.spans[2].literal_hex, hexOf(tar.substr(1027)));
}

TEST(TarReader, WithoutRootEntryTheRootModeIsDefault) {
  const UpdateRecipe r = recipeOf(TarBuilder().file("app/a", "abc").end().bytes());
  EXPECT_EQ(r.root_mode, 0755u);
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].tar_offset, 512u);
  EXPECT_EQ(r.spans[0].size, 512u);
}

TEST(TarReader, SpansCoverTheArchiveAndFileSpansStartAtTheirEntries) {
  TarBuilder b;
  b.dir("app").file("app/empty", "").dir("app/bin").file("app/bin/tool", std::string(70000, 'x'));
  b.symlink("app/bin/current", "tool").hardlink("app/bin/again", "app/bin/tool");
  b.file("app/" + std::string(120, 'n'), "long name").pax({{"mtime", "12345.5"}, {"uname", "u"}});
  b.file("app/z", std::string(512, 'z')).end(3);
  const std::string tar = b.bytes();
  const UpdateRecipe r = recipeOf(tar);
  ASSERT_EQ(r.entries.size(), 7u);
  EXPECT_EQ(r.archive_size, tar.size());

  std::uint64_t offset = 0;
  std::size_t fileSpans = 0;
  for (const RecipeSpan& s : r.spans) {
    if (s.path) {
      ++fileSpans;
      const auto e = std::find_if(r.entries.begin(), r.entries.end(), [&](const RecipeEntry& x) { return x.path == *s.path; });
      ASSERT_NE(e, r.entries.end());
      EXPECT_EQ(e->tar_offset, offset);
      EXPECT_EQ(e->sha256, sha256Hex(tar.substr(offset, s.size)));
    } else {
      EXPECT_EQ(*s.literal_hex, hexOf(tar.substr(offset, s.size)));
    }
    offset += s.size;
  }
  EXPECT_EQ(offset, tar.size());
  EXPECT_EQ(fileSpans, 4u);
  // An empty file still gets its span, right after the literal with its header.
  EXPECT_EQ(r.spans[1].path, "empty");
  EXPECT_EQ(r.spans[1].size, 0u);
  EXPECT_EQ(r.spans[0].size, 1024u);
  EXPECT_EQ(r.entries[3].link_target, "tool");
  EXPECT_EQ(r.entries[4].link_target, "bin/tool");
  EXPECT_EQ(r.entries[5].path, std::string(120, 'n'));
  EXPECT_EQ(r.entries[5].size, 9u);
}

TEST(TarReader, SmallReadsGiveTheSameRecipeAndDataIsPulledInPieces) {
  const std::string tar =
      TarBuilder().dir("app").file("app/big", std::string(300000, 'q')).file("app/s", "s").end().bytes();
  TricklingReader reader(tar);
  auto r = extractTarArchive(reader, tar.size(), nullptr);
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  EXPECT_EQ(r->recipe.archive_sha256, sha256Hex(tar));
  EXPECT_EQ(r->recipe.entries[0].sha256, sha256Hex(std::string(300000, 'q')));
  EXPECT_LE(reader.largestRequest, kTarPieceSize);
}

TEST(TarReader, ReaderFailureIsReadFailed) {
  const std::string tar = TarBuilder().dir("app").file("app/a", std::string(5000, 'a')).end().bytes();
  FailingReader reader(tar);
  auto r = extractTarArchive(reader, std::nullopt, nullptr);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::ReadFailed);
}

// --- names -----------------------------------------------------------------

TEST(TarReader, NamesAreNormalised) {
  for (const std::string name : {"./app/x", "app/x/", "././app/x", "app/x//"}) {
    const UpdateRecipe r = recipeOf(TarBuilder().file(name, "1").end().bytes());
    ASSERT_EQ(r.entries.size(), 1u) << name;
    EXPECT_EQ(r.entries[0].path, "x") << name;
  }
  EXPECT_EQ(readError(TarBuilder().dir("./").end().bytes()), Error::InvalidArchivePath);
}

TEST(TarReader, PrefixIsUsedOnlyWithPosixMagic) {
  TarHeader posix;
  posix.name = "x";
  posix.prefix = "app/sub";
  const UpdateRecipe r = recipeOf(TarBuilder().entry(posix).end().bytes());
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].path, "sub/x");

  TarHeader gnu;
  gnu.name = "app/y";
  gnu.prefix = "other";
  gnu.gnu();
  const UpdateRecipe g = recipeOf(TarBuilder().entry(gnu).end().bytes());
  ASSERT_EQ(g.entries.size(), 1u);
  EXPECT_EQ(g.entries[0].path, "y");
}

TEST(TarReader, GnuLongNamesAndLinkNames) {
  const std::string longName = "app/" + std::string(200, 'l');
  const std::string longTarget = std::string(150, 't');
  TarBuilder b;
  b.dir("app").file("app/" + longTarget, "t").gnuLongName(longName);
  TarHeader link;
  link.name = "app/cut";
  link.typeflag = '2';
  link.linkname = "x";
  b.entry(link);
  b.gnuLongName("app/link2").gnuLongName(longTarget + "\n", 'K').entry(link);
  const UpdateRecipe r = recipeOf(b.end().bytes());
  ASSERT_EQ(r.entries.size(), 3u);
  EXPECT_EQ(r.entries[1].path, std::string(200, 'l'));
  EXPECT_EQ(r.entries[2].path, "link2");
  EXPECT_EQ(r.entries[2].link_target, longTarget);
}

// --- headers -----------------------------------------------------------------

TEST(TarReader, ChecksumMustBeTheUnsignedSum) {
  TarHeader h;
  h.name = "app/\xc3\xa9t\xc3\xa9";
  std::string block = test::tarHeaderBlock(h);
  const std::uint32_t unsignedSum = test::tarHeaderSum(block);
  std::int32_t signedSum = 0;
  for (std::size_t i = 0; i < 512; ++i) signedSum += (i >= 148 && i < 156) ? 0x20 : static_cast<signed char>(block[i]);
  ASSERT_NE(static_cast<std::uint32_t>(signedSum), unsignedSum);

  TarHeader seven = h;
  seven.checksumField = test::tarNumberField(unsignedSum, 8);  // seven digits and a NUL
  EXPECT_TRUE(readTar(TarBuilder().entry(seven).end().bytes()).ok());

  TarHeader spaced = h;
  spaced.checksumField = " " + test::tarNumberField(unsignedSum, 7);
  EXPECT_TRUE(readTar(TarBuilder().entry(spaced).end().bytes()).ok());

  TarHeader old = h;
  old.checksumField = test::tarNumberField(static_cast<std::uint32_t>(signedSum), 8);
  EXPECT_EQ(readError(TarBuilder().entry(old).end().bytes()), Error::InvalidTarChecksum);

  TarHeader flipped = h;
  flipped.postPatches.push_back({20, "Q"});
  EXPECT_EQ(readError(TarBuilder().entry(flipped).end().bytes()), Error::InvalidTarChecksum);

  TarHeader garbage = h;
  garbage.checksumField = "12x";
  EXPECT_EQ(readError(TarBuilder().entry(garbage).end().bytes()), Error::InvalidTarNumber);
}

TEST(TarReader, Base256Size) {
  TarHeader h;
  h.name = "app/f";
  h.sizeField = std::string("\x80", 1) + std::string(10, '\0') + "\x02";
  const UpdateRecipe r = recipeOf(TarBuilder().entry(h, "hi").end().bytes());
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].size, 2u);

  h.sizeField = std::string(12, '\xff');
  EXPECT_EQ(readError(TarBuilder().entry(h, "hi").end().bytes()), Error::InvalidTarNumber);
}

struct RefusedHeader {
  const char* what;
  TarHeader header;
  Error error;
};

TEST(TarReader, RefusedHeaders) {
  auto make = [](const char* name, char type, std::uint64_t size) {
    TarHeader h;
    h.name = name;
    h.typeflag = type;
    h.size = size;
    return h;
  };
  std::vector<RefusedHeader> cases = {
      {"folder with data", make("app/d", '5', 1), Error::InvalidTarSize},
      {"link with data", make("app/l", '2', 1), Error::InvalidTarSize},
      {"character device", make("app/c", '3', 0), Error::UnsupportedTarType},
      {"block device", make("app/b", '4', 0), Error::UnsupportedTarType},
      {"fifo", make("app/p", '6', 0), Error::UnsupportedTarType},
      {"gnu sparse", make("app/s", 'S', 0), Error::UnsupportedTarType},
      {"gnu volume", make("app/v", 'V', 0), Error::UnsupportedTarType},
      {"root as file", make("app", '0', 0), Error::InvalidArchiveRoot},
      {"absolute", make("/etc/passwd", '0', 0), Error::InvalidArchivePath},
      {"climbing", make("app/../../x", '0', 0), Error::InvalidArchivePath},
      {"dot dot root", make("../x", '0', 0), Error::InvalidArchivePath},
      {"backslash", make("app\\..\\x", '0', 0), Error::InvalidArchivePath},
      {"drive", make("C:/x", '0', 0), Error::InvalidArchivePath},
      {"device name", make("app/nul.txt", '0', 0), Error::InvalidArchivePath},
      {"symlink out", make("app/l", '2', 0), Error::InvalidLinkTarget},
  };
  cases.back().header.linkname = "../x";
  TarHeader badMode = make("app/m", '0', 0);
  badMode.modeField = "0x755";
  cases.push_back({"bad mode", badMode, Error::InvalidTarNumber});
  TarHeader prefixEscape = make("x", '0', 0);
  prefixEscape.prefix = "app/..";
  cases.push_back({"prefix climbing", prefixEscape, Error::InvalidArchivePath});
  TarHeader prefixAbsolute = make("x", '0', 0);
  prefixAbsolute.prefix = "/app";
  cases.push_back({"absolute prefix", prefixAbsolute, Error::InvalidArchivePath});

  for (const RefusedHeader& c : cases) {
    const std::string tar = TarBuilder().dir("app").entry(c.header).end().bytes();
    EXPECT_EQ(readError(tar), c.error) << c.what;
  }
}

TEST(TarReader, OneRootOnly) {
  EXPECT_EQ(readError(TarBuilder().file("app/a", "1").file("other/b", "2").end().bytes()),
            Error::MultipleArchiveRoots);
  EXPECT_EQ(readError(TarBuilder().file("app/a", "1").file("App/b", "2").end().bytes()),
            Error::MultipleArchiveRoots);
  EXPECT_EQ(readError(TarBuilder().dir("app").file("app", "").end().bytes()), Error::InvalidArchiveRoot);
  // A later root entry gives the mode again.
  const UpdateRecipe r = recipeOf(TarBuilder().dir("app", 0700).file("app/a", "1").dir("app/", 0711).end().bytes());
  EXPECT_EQ(r.root_mode, 0711u);
}

TEST(TarReader, HardLinkTargetsCarryTheRootLiterally) {
  auto withLink = [](const std::string& entryPrefix, const std::string& target) {
    return TarBuilder()
        .dir(entryPrefix + "app")
        .file(entryPrefix + "app/bin/tool", "t")
        .hardlink(entryPrefix + "app/bin/again", target)
        .end()
        .bytes();
  };
  const UpdateRecipe r = recipeOf(withLink("", "app/bin/tool"));
  EXPECT_EQ(r.entries[1].link_target, "bin/tool");
  EXPECT_EQ(readError(withLink("", "bin/tool")), Error::InvalidLinkTarget);
  EXPECT_EQ(readError(withLink("./", "./app/bin/tool")), Error::InvalidLinkTarget);
  EXPECT_EQ(readError(withLink("", "other/bin/tool")), Error::InvalidLinkTarget);
  EXPECT_EQ(readError(withLink("", "app/../etc/passwd")), Error::InvalidArchivePath);
  EXPECT_EQ(readError(withLink("", "app/")), Error::InvalidArchivePath);
  // Validation requires a file entry as target.
  EXPECT_EQ(readError(withLink("", "app/bin")), Error::InvalidLinkTarget);
  EXPECT_EQ(readError(withLink("", "app/bin/TOOL")), Error::InvalidLinkTarget);
}

// --- extension headers -------------------------------------------------------

TEST(TarReader, PaxSizeOverride) {
  TarHeader h;
  h.name = "app/f";
  h.size = 0;
  const std::string tar = TarBuilder().paxRaw("9 size=2\n").entry(h, "hi").end().bytes();
  const UpdateRecipe r = recipeOf(tar);
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].size, 2u);
  EXPECT_EQ(r.entries[0].sha256, sha256Hex("hi"));
}

TEST(TarReader, PaxRecords) {
  struct Case {
    std::string data;
    std::optional<Error> error;
  };
  const std::vector<Case> cases = {
      {"9 size=2" "X", Error::InvalidPaxRecord},
      {"nospace", Error::InvalidPaxRecord},
      {"3 a\n", Error::InvalidPaxRecord},
      {"0 \n", Error::InvalidPaxRecord},
      {"-0 x=1\n", Error::InvalidPaxRecord},
      {"99 path=x\n", Error::InvalidPaxRecord},
      {"8 pathx\n", Error::InvalidPaxRecord},
      {"9 size=x\n", Error::InvalidPaxRecord},
      {"9 size=\n\n", Error::InvalidPaxRecord},
      {"x5 a=b\n", Error::InvalidPaxRecord},
      {"12 size=1\n\n\n", Error::InvalidPaxRecord},
      {"18446744073709551617 a=b\n", Error::InvalidPaxRecord},
      {test::paxRecord("mtime", "1.5") + "5", Error::InvalidPaxRecord},
      {test::paxRecord("GNU.sparse.major", "1"), Error::UnsupportedTarType},
      {test::paxRecord("GNU.sparsefile", "1"), Error::UnsupportedTarType},
      {test::paxRecord("mtime", "1.5") + test::paxRecord("GNU.sparse", "1"), Error::UnsupportedTarType},
      {test::paxRecord("mtime", "x") + test::paxRecord("atime", "y") + "5 =x\n", std::nullopt},
      {test::paxRecord("GNU.spars", "1"), std::nullopt},
      {test::paxRecord("comment", "a=b\nc"), std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string tar = TarBuilder().dir("app").paxRaw(c.data).file("app/f", "1").end().bytes();
    auto r = readTar(tar);
    if (c.error) {
      ASSERT_FALSE(r.ok()) << testing::PrintToString(c.data);
      EXPECT_EQ(r.error(), *c.error) << testing::PrintToString(c.data);
    } else {
      EXPECT_TRUE(r.ok()) << testing::PrintToString(c.data) << " " << errorName(r.error());
    }
  }
}

TEST(TarReader, PaxPathOverridesCannotSmuggleEscapes) {
  for (const std::string path : {"app/../x", "/etc/passwd", "app/a/../../..", "app\\x", "../app/x"}) {
    const std::string tar = TarBuilder().dir("app").pax({{"path", path}}).file("app/f", "1").end().bytes();
    EXPECT_EQ(readError(tar), Error::InvalidArchivePath) << path;
    const std::string gnu = TarBuilder().dir("app").gnuLongName(path).file("app/f", "1").end().bytes();
    EXPECT_EQ(readError(gnu), Error::InvalidArchivePath) << path;
  }
  const std::string linkOut =
      TarBuilder().dir("app").pax({{"linkpath", "../../etc"}}).symlink("app/l", "ok").end().bytes();
  EXPECT_EQ(readError(linkOut), Error::InvalidLinkTarget);
  // An empty path override is an empty path, not a removal.
  EXPECT_EQ(readError(TarBuilder().dir("app").pax({{"path", ""}}).file("app/f", "1").end().bytes()),
            Error::InvalidArchivePath);
}

TEST(TarReader, LocalAndGlobalOverrides) {
  // 'x' applies to the next entry only.
  const UpdateRecipe local =
      recipeOf(TarBuilder().dir("app").pax({{"path", "app/y"}}).file("app/a", "1").file("app/b", "2").end().bytes());
  ASSERT_EQ(local.entries.size(), 2u);
  EXPECT_EQ(local.entries[0].path, "y");
  EXPECT_EQ(local.entries[1].path, "b");

  // 'g' applies to every later entry without its own path.
  const UpdateRecipe global = recipeOf(TarBuilder()
                                           .dir("app")
                                           .pax({{"path", "app/g"}}, 'g')
                                           .file("app/a", "1")
                                           .pax({{"path", "app/own"}})
                                           .file("app/b", "2")
                                           .end()
                                           .bytes());
  ASSERT_EQ(global.entries.size(), 2u);
  EXPECT_EQ(global.entries[0].path, "g");
  EXPECT_EQ(global.entries[1].path, "own");
  EXPECT_EQ(readError(TarBuilder().pax({{"path", "app/g"}}, 'g').file("app/a", "1").file("app/b", "2").end().bytes()),
            Error::DuplicateArchivePath);

  // The root folder's own entry uses up a local override.
  const UpdateRecipe root =
      recipeOf(TarBuilder().pax({{"size", "0"}}).dir("app").file("app/a", "abc").end().bytes());
  EXPECT_EQ(root.entries[0].size, 3u);
}

TEST(TarReader, ExtensionSizeLimit) {
  std::string exact = test::paxRecord("comment", std::string(65536 - 15, 'c'));
  ASSERT_EQ(exact.size(), 65536u);
  EXPECT_TRUE(readTar(TarBuilder().dir("app").paxRaw(exact).file("app/f", "1").end().bytes()).ok());
  std::string over = test::paxRecord("comment", std::string(65536 - 14, 'c'));
  ASSERT_EQ(over.size(), 65537u);
  EXPECT_EQ(readError(TarBuilder().dir("app").paxRaw(over).file("app/f", "1").end().bytes()),
            Error::TarExtensionTooLarge);
  EXPECT_EQ(readError(TarBuilder().dir("app").paxRaw(std::string(70000, 'x'), 'L').file("app/f", "1").end().bytes()),
            Error::TarExtensionTooLarge);
}

// --- the end of the archive ------------------------------------------------------

TEST(TarReader, EndBlocksAndTrailingBytes) {
  const std::string body = TarBuilder().dir("app").file("app/a", "abc").bytes();
  const std::string zeros(1024, '\0');
  EXPECT_TRUE(readTar(body + zeros).ok());
  EXPECT_TRUE(readTar(body + zeros + std::string(65536 * 2 + 512, '\0')).ok());
  EXPECT_EQ(readError(body + zeros + std::string(100, '\0')), Error::InvalidTarSize);
  EXPECT_EQ(readError(body + zeros + std::string(511, '\0') + "x"), Error::InvalidTarTrailer);
  EXPECT_EQ(readError(body + std::string(512, '\0') + "x" + std::string(511, '\0')), Error::InvalidTarTrailer);
  EXPECT_EQ(readError(body + std::string(512, '\0') + TarBuilder().file("app/b", "").bytes()),
            Error::InvalidTarTrailer);
  EXPECT_EQ(readError(zeros), Error::TruncatedTar);
  EXPECT_EQ(readError(TarBuilder().dir("app").gnuLongName("app/x").end().bytes()), Error::TruncatedTar);
  EXPECT_EQ(readError(TarBuilder().dir("app").pax({{"size", "1"}}).end().bytes()), Error::TruncatedTar);
  // A global override waits for nobody.
  EXPECT_TRUE(readTar(TarBuilder().dir("app").file("app/a", "1").pax({{"size", "1"}}, 'g').end().bytes()).ok());
}

TEST(TarReader, ExpectedSize) {
  const std::string body = TarBuilder().dir("app").file("app/a", "abc").bytes();
  const std::string tar = body + std::string(10240 - body.size(), '\0');
  ASSERT_EQ(tar.size(), 10240u);
  EXPECT_TRUE(readTar(tar, 10240).ok());

  // Building a recipe only never asks for a byte past the expected size.
  const std::string longer = tar + "x";
  MemoryPullReader reader(longer);
  auto r = extractTarArchive(reader, 10240, nullptr);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(reader.position(), 10240u);

  EXPECT_EQ(readError(body + std::string(1024, '\0'), 10240), Error::TruncatedTar);
  EXPECT_EQ(readError(tar, 1536), Error::TruncatedTar);  // reached before the end blocks
  EXPECT_EQ(readError(tar, 2048), Error::TruncatedTar);  // inside the end blocks
  EXPECT_TRUE(readTar(tar, 3072).ok());
  for (const std::uint64_t bad : {0u, 512u, 1000u, 1100u, 10241u}) {
    EXPECT_EQ(readError(tar, bad), Error::InvalidTarSize) << bad;
  }
}

TEST(TarReader, EveryTruncationIsRefused) {
  const std::string tar = TarBuilder()
                              .dir("app")
                              .pax({{"path", "app/named-by-pax"}})
                              .file("app/a", std::string(700, 'a'))
                              .gnuLongName("app/" + std::string(130, 'g'))
                              .file("app/g", "g")
                              .symlink("app/l", "a")
                              .end()
                              .bytes();
  ASSERT_TRUE(readTar(tar).ok());
  for (std::size_t n = 0; n < tar.size(); ++n) {
    const std::string cut = tar.substr(0, n);
    auto r = readTar(cut);
    ASSERT_FALSE(r.ok()) << n;
    EXPECT_EQ(r.error(), Error::TruncatedTar) << n;
    auto withSize = readTar(cut, tar.size());
    ASSERT_FALSE(withSize.ok()) << n;
    EXPECT_EQ(withSize.error(), Error::TruncatedTar) << n;
  }
}

// --- limits -----------------------------------------------------------------------

TEST(TarReader, EntryLimit) {
  TarBuilder b;
  b.dir("app");
  for (std::size_t i = 0; i <= kMaxTarEntries; ++i) b.dir("app/" + std::to_string(i));
  EXPECT_EQ(readError(b.end().bytes()), Error::TooManyArchiveEntries);
}

TEST(TarReader, LiteralLimit) {
  const std::string body = TarBuilder().dir("app").file("app/a", "abc").bytes();
  // Trailing zeros are literal bytes too.
  const std::string tar = body + std::string(kMaxTarLiteralBytes, '\0');
  EXPECT_EQ(readError(tar), Error::RecipeTooLarge);
}

TEST(ReadTarBlock, CountsHashesAndKeepsLiterals) {
  const std::string bytes = std::string(600, 'a') + std::string(424, 'b');
  MemoryPullReader reader(bytes);
  TarStreamState state(reader, 1024);
  char buf[1024];
  auto first = readTarBlock(state, buf, 512, true);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(*first, 512u);
  auto second = readTarBlock(state, buf, 200, false);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(state.consumed, 712u);
  EXPECT_EQ(state.pendingLiteral, std::string(512, 'a'));
  EXPECT_EQ(state.literalTotal, 512u);
  // More than the expected size allows fails before reading anything.
  auto over = readTarBlock(state, buf, 313, true);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error(), Error::TruncatedTar);
  EXPECT_EQ(state.consumed, 712u);
  auto rest = readTarBlock(state, buf, 312, true);
  ASSERT_TRUE(rest.ok());
  EXPECT_EQ(state.archiveSha.finishHex(), sha256Hex(bytes));
}

// --- hostile link layouts, refused before anything would be created ------------

TEST(TarReader, LinkLayoutsThatEscapeThroughOtherLinksAreRefused) {
  const std::vector<std::vector<std::pair<std::string, std::string>>> layouts = {
      {{"app/a", "."}, {"app/b", "a/.."}},
      {{"app/c", "."}, {"app/t", "c/c/.."}},
      {{"app/c", "."}, {"app/t", "c/c/c/../../.."}},
  };
  for (const auto& links : layouts) {
    TarBuilder b;
    b.dir("app");
    for (const auto& [name, target] : links) b.symlink(name, target);
    EXPECT_EQ(readError(b.end().bytes()), Error::InvalidLinkTarget) << links.back().second;
  }
  // Entries below a link, and links in another letter case.
  EXPECT_EQ(readError(TarBuilder().dir("app").symlink("app/l", ".").file("app/l/x", "1").end().bytes()),
            Error::NonDirectoryArchiveAncestor);
  EXPECT_EQ(readError(TarBuilder().dir("app").file("app/Read.me", "1").file("app/READ.ME", "2").end().bytes()),
            Error::DuplicateArchivePath);
  EXPECT_EQ(readError(TarBuilder().dir("app").file("app/x", "1").symlink("app/l", "x").hardlink("app/h", "app/l").end().bytes()),
            Error::InvalidLinkTarget);
}

// --- round trip -------------------------------------------------------------------

TEST(TarReader, RecipeSurvivesWritingAndReadingBack) {
  const std::string tar = TarBuilder()
                              .dir("app", 0700)
                              .file("app/a", "abc")
                              .dir("app/d")
                              .file("app/d/\xc3\xa9", std::string(1000, '\0'))
                              .symlink("app/d/l", "../a")
                              .hardlink("app/h", "app/a")
                              .file("app/e", "")
                              .end(1)
                              .bytes();
  const UpdateRecipe original = recipeOf(tar);
  StringWriter first;
  ASSERT_TRUE(stringifyRecipe(original, first).ok());
  auto parsed = parseRecipe(first.str());
  ASSERT_TRUE(parsed.ok()) << errorName(parsed.error());
  const UpdateRecipe& back = *parsed;
  EXPECT_EQ(std::tie(back.schema_version, back.root, back.root_mode, back.archive_size, back.archive_sha256),
            std::tie(original.schema_version, original.root, original.root_mode, original.archive_size,
                     original.archive_sha256));
  const auto entry = [](const RecipeEntry& e) {
    return std::tie(e.path, e.kind, e.mode, e.size, e.sha256, e.link_target, e.tar_offset);
  };
  ASSERT_EQ(back.entries.size(), original.entries.size());
  for (std::size_t i = 0; i < back.entries.size(); ++i) EXPECT_TRUE(entry(back.entries[i]) == entry(original.entries[i])) << i;
  const auto span = [](const RecipeSpan& s) { return std::tie(s.literal_hex, s.path, s.size); };
  ASSERT_EQ(back.spans.size(), original.spans.size());
  for (std::size_t i = 0; i < back.spans.size(); ++i) EXPECT_TRUE(span(back.spans[i]) == span(original.spans[i])) << i;
  StringWriter second;
  ASSERT_TRUE(stringifyRecipe(back, second).ok());
  EXPECT_EQ(second.str(), first.str());
}

}  // namespace
}  // namespace tl
