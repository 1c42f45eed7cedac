#include "platform/posix/path_map.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

namespace tl::fs::detail {
namespace {

std::string mapped(std::string_view win) {
  auto r = hostComponents(win);
  if (!r.ok()) return std::string("error.") + std::string(errorName(r.error()));
  return joinHost(*r, r->size());
}

TEST(PathMap, DriveZIsTheHostRoot) {
  const struct {
    const char* windows;
    const char* host;
  } cases[] = {
      {"Z:\\tmp\\x", "/tmp/x"},
      {"z:\\tmp\\x", "/tmp/x"},
      {"Z:/tmp/x", "/tmp/x"},
      {"Z:\\tmp/mixed\\x\\", "/tmp/mixed/x"},
      {"Z:\\", "/"},
      {"\\tmp\\x", "/tmp/x"},
      {"/tmp/x", "/tmp/x"},
      {"\\\\?\\Z:\\tmp\\x", "/tmp/x"},
      {"\\\\.\\Z:\\tmp\\x", "/tmp/x"},
      {"//?/Z:/tmp/x", "/tmp/x"},
      {"Z:\\tmp\\.\\a\\..\\x", "/tmp/x"},
      {"Z:\\..\\..\\etc", "/etc"},
      {"Z:\\\\tmp\\\\\\x", "/tmp/x"},
      // Other drives, network shares and devices do not exist.
      {"C:\\Windows", "error.FileNotFound"},
      {"c:/x", "error.FileNotFound"},
      {"\\\\server\\share\\x", "error.FileNotFound"},
      {"\\\\?\\UNC\\server\\share", "error.FileNotFound"},
      {"\\\\.\\pipe\\x", "error.FileNotFound"},
      {"\\\\?\\C:\\x", "error.FileNotFound"},
      {"", "error.FileNotFound"},
  };
  for (const auto& c : cases) EXPECT_EQ(mapped(c.windows), c.host) << c.windows;
  EXPECT_EQ(mapped(std::string_view("Z:\\a\0b", 6)), "error.BadPathName");
}

TEST(PathMap, RelativePathsStartAtTheCurrentFolder) {
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  std::string base = cwd;
  if (base == "/") base.clear();
  EXPECT_EQ(mapped("a\\b"), base + "/a/b");
  EXPECT_EQ(mapped("Z:a/b"), base + "/a/b");
  EXPECT_EQ(mapped(".\\a"), base + "/a");
}

TEST(PathMap, WindowsFormOfHostPaths) {
  EXPECT_EQ(windowsFromHost("/"), "Z:\\");
  EXPECT_EQ(windowsFromHost("/tmp/x y/z"), "Z:\\tmp\\x y\\z");
}

}  // namespace
}  // namespace tl::fs::detail
