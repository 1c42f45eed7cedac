#include "platform/env.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace tl::env {
namespace {

class EnvTest : public ::testing::Test {
 protected:
  void TearDown() override { buildFromProcess(); }
};

TEST_F(EnvTest, NamesIgnoreAsciiCase) {
  setForTesting({{"LocalAppData", "Z:\\u"}, {"empty", ""}});
  EXPECT_EQ(get("LOCALAPPDATA"), "Z:\\u");
  EXPECT_EQ(get("localappdata"), "Z:\\u");
  EXPECT_EQ(get("EMPTY"), "");  // set, though empty
  EXPECT_EQ(get("LOCALAPPDAT"), std::nullopt);
  setVar("LOCALAPPDATA", std::string_view("Z:\\v"));
  EXPECT_EQ(block(), (std::vector<std::string>{"empty=", "LOCALAPPDATA=Z:\\v"}));
  setVar("Empty", std::nullopt);
  EXPECT_EQ(get("empty"), std::nullopt);
}

TEST_F(EnvTest, OnlyFolderVariablesWithPosixPathsAreRewritten) {
  struct Case {
    const char* name;
    const char* value;
    const char* expected;
  };
  const Case cases[] = {
      {"LOCALAPPDATA", "/home/u/.local", "Z:\\home\\u\\.local"},
      {"userprofile", "/home/u", "Z:\\home\\u"},
      {"APPDATA", "/a/b/", "Z:\\a\\b\\"},
      {"TEMP", "/tmp", "Z:\\tmp"},
      {"Tmp", "/", "Z:\\"},
      {"SYSTEMROOT", "/sb/Windows", "Z:\\sb\\Windows"},
      {"TEMP", "Z:\\tmp", "Z:\\tmp"},
      {"TEMP", "relative/x", "relative/x"},
      {"TEMP", "", ""},
      {"HOME", "/home/u", "/home/u"},
      {"TEMPDIR", "/tmp", "/tmp"},
      {"PATH", "/usr/bin:/bin", "/usr/bin:/bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + std::string("=") + c.value);
    setForTesting({{c.name, c.value}});
    EXPECT_EQ(get(c.name), c.expected);
  }
}

TEST_F(EnvTest, BuiltFromTheProcessWithoutInventingAnything) {
  // The process's own values are put back before the map is rebuilt.
  struct Saved {
    std::string name;
    std::optional<std::string> value;
    ~Saved() { value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str()); }
  };
  auto save = [](const char* n) {
    const char* v = ::getenv(n);
    return Saved{n, v ? std::optional<std::string>(v) : std::nullopt};
  };
  Saved temp = save("TEMP");
  Saved local = save("LOCALAPPDATA");
  ::setenv("TL_ENV_TEST_TMP", "/x", 1);
  ::unsetenv("LOCALAPPDATA");
  ::setenv("TEMP", "/tmp/tl env", 1);
  buildFromProcess();
  ::unsetenv("TL_ENV_TEST_TMP");
  EXPECT_EQ(get("tl_env_test_tmp"), "/x");
  EXPECT_EQ(get("TEMP"), "Z:\\tmp\\tl env");
  EXPECT_EQ(get("LOCALAPPDATA"), std::nullopt);
  std::vector<std::string> b = block();
  EXPECT_NE(std::find(b.begin(), b.end(), "TEMP=Z:\\tmp\\tl env"), b.end());
}

}  // namespace
}  // namespace tl::env
