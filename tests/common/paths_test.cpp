#include "common/paths.h"

#include <gtest/gtest.h>

namespace tl {
namespace {

TEST(Paths, ResolveForms) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"Z:\\a\\b\\", "Z:\\a\\b"},
      {"Z:/a/./b/../c", "Z:\\a\\c"},
      {"Z:\\..\\..\\a", "Z:\\a"},
      {"Z:\\", "Z:\\"},
      {"\\\\server\\share\\x\\..\\y", "\\\\server\\share\\y"},
      {"\\\\?\\Z:\\a", "\\\\?\\Z:\\a"},
      {"\\\\.\\pipe\\x\\.", "\\\\.\\pipe\\x"},
      {"\\rooted\\.\\x", "\\rooted\\x"},
      {"rel\\..\\..\\x", "..\\x"},
      {"a//b", "a\\b"},
      {"", "."},
  };
  for (const auto& c : cases) {
    auto r = resolvePath(c.in);
    ASSERT_TRUE(r.ok()) << c.in;
    EXPECT_EQ(*r, c.out) << c.in;
  }
  auto joined = resolvePath({"Z:\\a", "b\\..\\c", "d"});
  ASSERT_TRUE(joined.ok());
  EXPECT_EQ(*joined, "Z:\\a\\c\\d");
  auto restarted = resolvePath({"Z:\\a", "Z:\\other"});
  EXPECT_EQ(*restarted, "Z:\\other");
}

TEST(Paths, AbsoluteForms) {
  const struct {
    const char* p;
    bool absolute;
    bool driveRelative;
  } cases[] = {
      {"C:\\x", true, false}, {"C:/x", true, false},       {"\\\\srv\\share", true, false},
      {"\\x", true, false},   {"\\\\.\\dev", true, false}, {"\\\\?\\C:\\x", true, false},
      {"C:x", false, true},   {"C:", false, true},         {"x\\y", false, false},
      {"", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isAbsolutePath(c.p), c.absolute) << c.p;
    EXPECT_EQ(isDriveRelativePath(c.p), c.driveRelative) << c.p;
  }
}

TEST(Paths, ParentAndLastComponent) {
  const struct {
    const char* p;
    const char* parent;  // nullptr: none
    const char* last;
  } cases[] = {
      {"Z:\\a\\b", "Z:\\a", "b"},   {"Z:\\a\\b\\\\", "Z:\\a", "b"},  {"Z:\\a", "Z:\\", "a"},
      {"Z:\\", nullptr, ""},         {"\\\\s\\sh\\x", "\\\\s\\sh", "x"}, {"\\\\s\\sh", nullptr, ""},
      {"a", nullptr, "a"},           {"a/b", "a", "b"},
  };
  for (const auto& c : cases) {
    auto parent = parentPath(c.p);
    if (c.parent) {
      ASSERT_TRUE(parent.has_value()) << c.p;
      EXPECT_EQ(*parent, c.parent) << c.p;
    } else {
      EXPECT_FALSE(parent.has_value()) << c.p;
    }
    EXPECT_EQ(lastComponent(c.p), c.last) << c.p;
  }
}

TEST(Paths, EqualIgnoringCase) {
  EXPECT_TRUE(*pathsEqualIgnoreCase("Z:\\Users\\ME\\x\\", "z:/users/me/./x"));
  EXPECT_FALSE(*pathsEqualIgnoreCase("Z:\\a\\b", "Z:\\a\\bb"));
  // Only ASCII letters fold.
  EXPECT_FALSE(*pathsEqualIgnoreCase("Z:\\\xC3\x84", "Z:\\\xC3\xA4"));
}

TEST(Paths, ValidFileName) {
  const struct {
    const char* name;
    bool valid;
  } cases[] = {
      {"app", true},    {"CON", true},    {"a.b", true},   {"", false},     {".", false},
      {"..", false},    {"app.", false},  {"app ", false}, {"a%b", false},  {"a:b", false},
      {"a\\b", false},  {"a/b", false},   {"a|b", false},  {"a\"b", false}, {"a*b", false},
      {"a<b", false},   {"a>b", false},   {"a?b", false},  {"a\tb", false}, {".hidden", true},
      {"\xC3\xA9t\xC3\xA9", true},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidFileName(c.name), c.valid) << c.name;
}

}  // namespace
}  // namespace tl
