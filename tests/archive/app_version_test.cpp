#include "archive/app_version.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/outcome.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::outcome;

constexpr const char* kFull =
    R"({"identifier":"com.example.app","name":"Example","displayName":"Example Canary","channel":"canary",)"
    R"("version":"1.2.3","hash":"abc123","baseUrl":"https://updates.example/app"})";

TEST(AppVersion, ReadsEveryKey) {
  auto r = parseAppVersion(kFull);
  ASSERT_TRUE(r.ok()) << errorName(r.error());
  EXPECT_EQ(r->identifier, "com.example.app");
  EXPECT_EQ(r->name, "Example");
  EXPECT_EQ(r->displayName, "Example Canary");
  EXPECT_EQ(r->channel, "canary");
  EXPECT_EQ(r->version, "1.2.3");
  EXPECT_EQ(r->hash, "abc123");
  EXPECT_EQ(r->baseUrl, "https://updates.example/app");
}

TEST(AppVersion, ReadingRules) {
  const std::string req = R"("identifier":"i","channel":"dev","version":"1","hash":"h")";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{" + req + "}", "ok"},
      {"{" + req + R"(,"extra":{"nested":[1,2,{"x":null}]},"n":1.5})", "ok"},
      {"{" + req + R"(,"name":null})", "ok"},
      {"{" + req + R"(,"displayName":null})", "UnexpectedToken"},
      {"{" + req + R"(,"baseUrl":5})", "UnexpectedToken"},
      {R"({"identifier":"i","channel":"dev","version":"1"})", "MissingField"},
      {"{" + req + R"(,"hash":"g"})", "DuplicateField"},
      {"{" + req + R"(,"version":1})", "DuplicateField"},
      {R"({"identifier":"i","channel":"dev","version":1,"hash":"h"})", "UnexpectedToken"},
      {"{" + req, "UnexpectedEndOfInput"},
      {"{" + req + "} {}", "SyntaxError"},
      {"[]", "UnexpectedToken"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(outcome(parseAppVersion(text)), want) << text;
  auto r = parseAppVersion("{" + req + R"(,"name":null})");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->name);
  EXPECT_FALSE(r->displayName);
  EXPECT_FALSE(r->baseUrl);
}

class AppVersionFile : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_.host("Resources")); }
  void write(const std::string& content) {
    std::ofstream(dir_.host("Resources/version.json"), std::ios::binary) << content;
  }
  Result<AppVersionInfo> read() {
    auto bundle = fs::openDir(dir_.path());
    if (!bundle.ok()) return bundle.error();
    return readAppVersion(*bundle);
  }
  test::TempDir dir_;
};

TEST_F(AppVersionFile, ReadsUpToOneMebibyte) {
  std::string text = kFull;
  text.resize(1048576, ' ');
  write(text);
  EXPECT_EQ(outcome(read()), "ok");
  text.push_back(' ');
  write(text);
  EXPECT_EQ(outcome(read()), "UpdateDocumentTooLarge");
}

TEST_F(AppVersionFile, DoesNotFollowLinks) {
  test::TempDir elsewhere;
  std::filesystem::create_directories(elsewhere.host("Resources"));
  std::ofstream(elsewhere.host("Resources/version.json")) << kFull;
  std::filesystem::create_symlink(elsewhere.host("Resources/version.json"), dir_.host("Resources/version.json"));
  EXPECT_EQ(outcome(read()), "NotRegularFile");
  std::filesystem::remove(dir_.host("Resources/version.json"));
  EXPECT_EQ(outcome(read()), "FileNotFound");
}

}  // namespace
}  // namespace tl
