#include "update/prepared_update.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/io_context.h"
#include "support/outcome.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

const std::string kWritten =
    R"({"schema_version":2,"identifier":"a","channel":"stable","platform":"win","arch":"x64","version":"1",)"
    R"("hash":"b","staging_path":"P","recipe_path":"R","recipe_sha256":"D","artifact_file":"A"})";

// kWritten with one member's value replaced, the member removed (empty
// value), or a member added at the end.
std::string edited(const std::string& key, const std::string& value) {
  std::string text = kWritten;
  const std::string quoted = "\"" + key + "\":";
  const std::size_t at = text.find(quoted);
  if (at == std::string::npos) return text.substr(0, text.size() - 1) + "," + quoted + value + "}";
  const std::size_t end = text.find_first_of(",}", at + quoted.size());
  if (!value.empty()) return text.replace(at + quoted.size(), end - at - quoted.size(), value);
  return text[at - 1] == ',' ? text.erase(at - 1, end - at + 1) : text.erase(at, end - at + 1);
}

using test::outcome;

TEST(PreparedUpdate, WrittenAndReadBack) {
  const PreparedUpdate r = *parsePreparedUpdate(edited("schema_version", ""));
  EXPECT_EQ(r.schema_version, 2u);
  EXPECT_EQ(stringifyPreparedUpdate(r), kWritten);

  struct {
    std::string text;
    const char* strict;
    const char* lenient;
  } cases[] = {
      {edited("schema_version", "2.0"), "InvalidNumber", "InvalidNumber"},
      {edited("schema_version", "\"2\""), "UnexpectedToken", "UnexpectedToken"},
      {edited("schema_version", "4294967296"), "Overflow", "Overflow"},
      {edited("extra", "{\"x\":[1]}"), "UnknownField", "ok"},
      {edited("artifact_file", ""), "MissingField", "ok"},
      {edited("staging_path", "null"), "UnexpectedToken", "ok"},
      {edited("retained_tar_path", "null"), "UnknownField", "UnexpectedToken"},
      {edited("hash", "[98]"), "UnexpectedToken", "UnexpectedToken"},
      {edited("hash", ""), "MissingField", "MissingField"},
      {edited("channel", "\"stable\",\"channel\":\"dev\""), "DuplicateField", "DuplicateField"},
      {kWritten + " x", "SyntaxError", "SyntaxError"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome(parsePreparedUpdate(c.text)), c.strict) << c.text;
    EXPECT_EQ(outcome(parsePreparedUpdateLenient(c.text)), c.lenient) << c.text;
  }
}

TEST(PreparedUpdate, MatchesOnlyAnEqualRegularRecord) {
  test::TempDir tmp;
  auto put = [&](const char* name, const std::string& bytes) { std::ofstream(tmp.host(name)) << bytes; };
  put("record.json", kWritten);
  put("cap.json", kWritten + std::string(65536 - kWritten.size(), ' '));
  put("big.json", kWritten + std::string(65537 - kWritten.size(), ' '));
  put("nodigest.json", edited("recipe_sha256", "null"));
  put("tar.json", edited("retained_tar_path", "\"T\""));
  std::filesystem::create_directories(tmp.host("folder.json"));
  const LenientPreparedUpdate plan = *parsePreparedUpdateLenient(kWritten);
  LenientPreparedUpdate noDigest = plan;
  noDigest.recipe_sha256.reset();
  LenientPreparedUpdate tar = plan;
  tar.retained_tar_path = "T";
  struct {
    const char* file;
    const LenientPreparedUpdate& expected;
    bool match;
  } cases[] = {
      {"record.json", plan, true},       {"cap.json", plan, true},          {"big.json", plan, false},
      {"folder.json", plan, false},      {"missing.json", plan, false},     {"record.json", noDigest, false},
      {"nodigest.json", plan, false},    {"nodigest.json", noDigest, true}, {"record.json", tar, false},
      {"tar.json", tar, true},
  };
  for (const auto& c : cases) EXPECT_EQ(preparedUpdateMatches(tmp.path(), c.file, c.expected), c.match) << c.file;
}

TEST(PreparedUpdate, WriterReplacesInOneStep) {
  test::TempDir tmp;
  const std::string host = tmp.host(".tamberlock-prepared-update.json");
  auto content = [&] {
    std::stringstream s;
    s << std::ifstream(host).rdbuf();
    return s.str();
  };
  auto entries = [&] {
    auto it = std::filesystem::directory_iterator(tmp.hostPath());
    return std::distance(it, std::filesystem::directory_iterator());
  };
  const fs::Dir dir = fs::openDir(tmp.path()).take();
  PreparedUpdate record = *parsePreparedUpdate(kWritten);
  ASSERT_TRUE(writePreparedUpdate(dir, record).ok());
  record.version = "2";
  io().setFaultHook([](FsOp op, std::string_view) { return op == FsOp::Rename ? Status(Error::AccessDenied) : success(); });
  EXPECT_EQ(writePreparedUpdate(dir, record).error(), Error::AccessDenied);
  io().setFaultHook(nullptr);
  EXPECT_EQ(content(), kWritten);
  EXPECT_EQ(entries(), 1);
  ASSERT_TRUE(writePreparedUpdate(dir, record).ok());
  EXPECT_EQ(*parsePreparedUpdate(content()), record);
  EXPECT_EQ(entries(), 1);

  std::filesystem::remove(host);
  std::filesystem::create_directory(host);
  EXPECT_EQ(writePreparedUpdate(dir, record).error(), Error::InvalidUpdatePath);
}

}  // namespace
}  // namespace tl
