// Finding the installer's payload: side files, the appended block and its
// candidate search, and both forms of the metadata record.
#include "installer/installer_payload.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "installer/installer_fixture.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

const std::string kMeta = "TAMBERLOCK_METADATA_V1";
const std::string kArch = "TAMBERLOCK_ARCHIVE_V1";
const std::string kGood = R"({"identifier":"com.example.demo","name":"Demo","channel":"stable","hash":null})";

std::string block(const std::string& json, const std::string& archive = "ARCHIVE") {
  return kMeta + json + kArch + archive;
}

TEST(InstallerMetadata, BothForms) {
  struct Case {
    const char* json;
    std::optional<Error> side;      // none: accepted
    std::optional<Error> embedded;  // none: accepted
  };
  const Case cases[] = {
      {R"({"identifier":"a","name":"n","channel":"dev"})", {}, {}},
      {R"({"identifier":"a","name":"n","channel":"dev","hash":"h1"})", {}, {}},
      {R"({"identifier":"a","name":"n","channel":"dev","hash":null})", Error::UnexpectedToken, {}},
      {R"({"identifier":"a","name":"n","channel":"dev","extra":[1,{"x":2}]})", {}, Error::UnknownField},
      {R"({"identifier":"a","name":"n","channel":"dev","install_root_name":"R"})", {}, Error::UnknownField},
      {R"({"identifier":"a","name":"n","channel":"dev","name":"m"})", Error::DuplicateField, Error::DuplicateField},
      {R"({"identifier":"a","channel":"dev"})", Error::MissingField, Error::MissingField},
      {R"({"identifier":1,"name":"n","channel":"dev"})", Error::UnexpectedToken, Error::UnexpectedToken},
      {R"({"identifier":"a","name":"n","channel":"dev"} x)", Error::SyntaxError, Error::SyntaxError},
      {R"([])", Error::UnexpectedToken, Error::UnexpectedToken},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Result<InstallerMetadata> side = parseSideInstallerMetadata(c.json);
    Result<InstallerMetadata> embedded = parseInstallerMetadata(c.json);
    EXPECT_EQ(side.ok() ? std::optional<Error>() : side.error(), c.side);
    EXPECT_EQ(embedded.ok() ? std::optional<Error>() : embedded.error(), c.embedded);
  }
  Result<InstallerMetadata> rooted =
      parseSideInstallerMetadata(R"({"identifier":"a","name":"n","channel":"dev","install_root_name":"R"})");
  ASSERT_TRUE(rooted.ok());
  EXPECT_EQ(rooted->install_root_name, std::optional<std::string>("R"));
}

TEST(InstallerMetadata, IdentityRule) {
  InstallerMetadata m = test::demoMetadata();
  EXPECT_TRUE(passesIdentityRule(m));
  for (const char* channel : {"beta", "Stable", ""}) {
    m.channel = channel;
    EXPECT_FALSE(passesIdentityRule(m)) << channel;
  }
  m.channel = "dev";
  for (const char* id : {"", "a.", "a%b", "a\\b", ".."}) {
    m.identifier = id;
    EXPECT_FALSE(passesIdentityRule(m)) << id;
  }
  m.identifier = "CON";
  EXPECT_TRUE(passesIdentityRule(m));
}

TEST(InstallerPayload, Stems) {
  EXPECT_EQ(installerStem("Setup.exe"), "Setup");
  EXPECT_EQ(installerStem("My.Setup.exe"), "My.Setup");
  EXPECT_EQ(installerStem(".hidden"), ".hidden");
  EXPECT_EQ(installerStem("Setup"), "Setup");
  EXPECT_EQ(installerArchiveFileName("Setup"), "Setup.tar.zst");
  EXPECT_EQ(installerMetadataFileName("Setup"), "Setup.metadata.json");
}

TEST(InstallerPayload, SearchesAgreeWithPlainScans) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    // Few letters, so near misses of the needle are common.
    std::string hay(rng() % 300, 'A');
    for (char& c : hay) c = "TAMBERLOCK_V1"[rng() % 13];
    std::string needle = round % 2 ? kArch : kMeta;
    for (int k = rng() % 4; k > 0 && hay.size() > needle.size(); --k) {
      hay.replace(rng() % (hay.size() - needle.size()), needle.size(), needle);
    }
    std::size_t first = hay.find(needle);
    EXPECT_EQ(findFirst(hay, needle), first == std::string::npos ? std::nullopt : std::optional(first));
  }
}

TEST(InstallerPayload, AppendedCandidates) {
  const std::string code = std::string(5000, 'x') + kMeta + "\x01" + kArch + "code";  // the marker texts in code
  struct Case {
    const char* name;
    std::string data;
    std::optional<std::size_t> archiveMarker;
  };
  const std::string wrongChannel = R"({"identifier":"a","name":"n","channel":"beta"})";
  const std::string extraKey = R"({"identifier":"a","name":"n","channel":"dev","x":1})";
  std::string exact = R"({"identifier":"a","name":"n","channel":"dev","hash":")";
  exact += std::string(4096 - exact.size() - 2, 'h') + "\"}";
  std::string over = R"({"identifier":"a","name":"n","channel":"dev","hash":")";
  over += std::string(4097 - over.size() - 2, 'h') + "\"}";
  const std::string markerInName = R"({"identifier":"a","name":")" + kArch + R"(","channel":"dev"})";
  const std::vector<Case> cases = {
      {"after code holding the markers", code + block(kGood), code.size() + kMeta.size() + kGood.size()},
      {"first acceptable pair wins", block(kGood) + block(kGood), kMeta.size() + kGood.size()},
      {"an installer stored verbatim in the archive", block(kGood, "zstd" + block(wrongChannel) + block(kGood)),
       kMeta.size() + kGood.size()},
      {"a later pair after one with another channel", block(wrongChannel) + block(kGood),
       2 * kMeta.size() + wrongChannel.size() + kArch.size() + 7 + kGood.size()},
      {"white space around the metadata", kMeta + " \r\n" + kGood + "\t " + kArch, kMeta.size() + 3 + kGood.size() + 2},
      {"an archive marker only after text past the object", kMeta + kGood + "x" + kArch, std::nullopt},
      {"a metadata marker inside the metadata", kMeta + R"({"identifier":"a","name":")" + kMeta +
                                                    R"(","channel":"dev"})" + kArch,
       kMeta.size() * 2 + 44},
      {"only another channel", block(wrongChannel), std::nullopt},
      {"extra key is skipped", block(extraKey), std::nullopt},
      {"archive marker text inside the metadata", kMeta + markerInName + kArch + "A",
       kMeta.size() + markerInName.size()},
      {"4096 bytes of metadata", block(exact), kMeta.size() + 4096},
      {"4097 bytes of metadata", block(over), std::nullopt},
      {"no marker", std::string(100, 'q'), std::nullopt},
      {"archive marker cut off", kMeta + kGood + kArch.substr(0, 20), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<std::optional<AppendedBlock>> found = findAppendedBlock(c.data);
    ASSERT_TRUE(found.ok());
    if (!c.archiveMarker) {
      EXPECT_FALSE(found->has_value());
      continue;
    }
    ASSERT_TRUE(found->has_value());
    EXPECT_EQ((*found)->archiveMarker, *c.archiveMarker);
  }
}

class PayloadFiles : public testing::Test {
 protected:
  std::string exe() const { return dir_.win("Setup.exe"); }
  void write(const std::string& rel, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(dir_.host(rel)).parent_path());
    std::ofstream(dir_.host(rel), std::ios::binary) << bytes;
  }
  Result<LocatedPayload> locate(std::string* err = nullptr) {
    testing::internal::CaptureStderr();
    Result<LocatedPayload> r = locateInstallerPayload(exe());
    std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return r;
  }
  test::TempDir dir_;
};

TEST_F(PayloadFiles, SideFilesAreLookedForIndependently) {
  write("Setup.exe", "binary" + block(kGood));
  write(".installer/Setup.metadata.json", R"({"identifier":"a","name":"n","channel":"dev","more":{}})");
  write("Setup.tar.zst", "archive");
  Result<LocatedPayload> r = locate();
  ASSERT_TRUE(r.ok());
  const auto* side = std::get_if<SidePayload>(&*r);
  ASSERT_NE(side, nullptr);
  EXPECT_EQ(side->metadata.identifier, "a");
  EXPECT_EQ(side->archivePath, dir_.win("Setup.tar.zst"));
  write(".installer/Setup.tar.zst", "archive");
  r = locate();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::get<SidePayload>(*r).archivePath, dir_.win(".installer\\Setup.tar.zst"));
}

TEST_F(PayloadFiles, SideMetadataNeverFallsBackToTheAppendedBlock) {
  write("Setup.exe", "binary" + block(kGood));
  write("Setup.metadata.json", "{ not json");
  Result<LocatedPayload> r = locate();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::SyntaxError);
  write("Setup.metadata.json", std::string(4097, ' '));
  r = locate();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Error::StreamTooLong);
}

TEST_F(PayloadFiles, AppendedBlockWithItsDebugLines) {
  const std::string meta = "{\"identifier\":\"a\",\"name\":\"n\xc3\xa9\",\"channel\":\"dev\"}\n";
  write("Setup.exe", "binary" + kMeta + meta + kArch + "ARCH");
  std::string err;
  Result<LocatedPayload> r = locate(&err);
  ASSERT_TRUE(r.ok());
  const auto* appended = std::get_if<AppendedPayload>(&*r);
  ASSERT_NE(appended, nullptr);
  EXPECT_EQ(appended->metadataBytes(), meta);
  EXPECT_EQ(appended->archiveBytes(), "ARCH");
  EXPECT_EQ(appended->archiveMarkerOffset, 6 + kMeta.size() + meta.size());
  const std::string n = std::to_string(meta.size());
  EXPECT_NE(err.find("DEBUG: metadata_size=" + n + "\nDEBUG: Raw metadata bytes (size=" + n + ")\n"),
            std::string::npos);
  EXPECT_NE(err.find("DEBUG: Raw metadata as hex: 7b 22 69 "), std::string::npos) << err;
  EXPECT_NE(err.find(" c3 a9 22 2c "), std::string::npos);
  EXPECT_NE(err.find("22 7d a \n"), std::string::npos);
  EXPECT_NE(err.find("DEBUG: Raw metadata as string: '{\"identifier\":\"a\",\"name\":\"n\\xc3\\xa9\",\"channel\":\"dev\"}\\xa'\n"),
            std::string::npos)
      << err;
}

TEST_F(PayloadFiles, NothingFound) {
  write("Setup.exe", "binary only");
  std::string err;
  Result<LocatedPayload> r = locate(&err);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(std::holds_alternative<NoPayload>(*r));
  EXPECT_EQ(err, "DEBUG: No metadata marker found at all\n");
}

}  // namespace
}  // namespace tl
