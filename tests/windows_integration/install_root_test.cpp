#include "windows_integration/install_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace tl {
namespace {

// Creates a file (or folder) and every folder above it, below the temp dir.
void makeEntry(const test::TempDir& dir, const std::string& rel, bool folder = false) {
  std::string path = dir.hostPath();
  std::size_t start = 0;
  while (true) {
    std::size_t slash = rel.find('/', start);
    if (slash == std::string::npos) break;
    path += "/" + rel.substr(start, slash - start);
    ::mkdir(path.c_str(), 0755);
    start = slash + 1;
  }
  path += "/" + rel.substr(start);
  if (folder) {
    ::mkdir(path.c_str(), 0755);
  } else {
    std::ofstream(path) << "manager";
  }
}

TEST(InstallRootFromManagerPath, AcceptsOnlyTheTwoManagerPlaces) {
  test::TempDir dir;
  makeEntry(dir, "ch/uninstall.exe");
  makeEntry(dir, "caps/UNINSTALL.EXE");
  makeEntry(dir, "tail/uninstall.exe.old");
  makeEntry(dir, "bundle/app/Resources/uninstall");
  makeEntry(dir, "mixed/APP/resources/Uninstall");
  makeEntry(dir, "other/bin/Resources/uninstall");
  makeEntry(dir, "other2/app/Res/uninstall");
  makeEntry(dir, "dirs/uninstall.exe", true);
  makeEntry(dir, "dirs/app/Resources/uninstall", true);
  makeEntry(dir, "named/uninstall");
  makeEntry(dir, "viaLink/x", true);
  ::symlink(dir.host("ch/uninstall.exe").c_str(), dir.host("viaLink/uninstall.exe").c_str());

  struct Case {
    std::string path;
    bool allowAppBundle;
    bool ok;
    std::string root;
    bool inAppBundle;
  } cases[] = {
      {dir.win("ch/uninstall.exe"), false, true, dir.win("ch"), false},
      {dir.win("ch/uninstall.exe"), true, true, dir.win("ch"), false},
      {dir.win("caps/UNINSTALL.EXE"), false, true, dir.win("caps"), false},
      // '/' separates as well.
      {"Z:" + dir.host("ch/uninstall.exe"), false, true, "Z:" + dir.host("ch"), false},
      {dir.win("tail/uninstall.exe.old"), true, false, "", false},
      {dir.win("bundle/app/Resources/uninstall"), true, true, dir.win("bundle"), true},
      {dir.win("mixed/APP/resources/Uninstall"), true, true, dir.win("mixed"), true},
      // The place inside the bundle only where the caller allows it.
      {dir.win("bundle/app/Resources/uninstall"), false, false, "", false},
      {dir.win("other/bin/Resources/uninstall"), true, false, "", false},
      {dir.win("other2/app/Res/uninstall"), true, false, "", false},
      {dir.win("named/uninstall"), true, false, "", false},
      // Only a regular file is a manager; a link is judged by its target here
      // (the callers look at the entry itself later).
      {dir.win("dirs/uninstall.exe"), false, false, "", false},
      {dir.win("dirs/app/Resources/uninstall"), true, false, "", false},
      {dir.win("missing/uninstall.exe"), false, false, "", false},
      {dir.win("viaLink/uninstall.exe"), false, true, dir.win("viaLink"), false},
  };
  for (const Case& c : cases) {
    Result<ManagerInstallRoot> r = installRootFromManagerPath(c.path, c.allowAppBundle);
    ASSERT_EQ(r.ok(), c.ok) << c.path << " allowAppBundle=" << c.allowAppBundle;
    if (c.ok) {
      EXPECT_EQ(r->root, c.root) << c.path;
      EXPECT_EQ(r->inAppBundle, c.inAppBundle) << c.path;
    } else {
      EXPECT_EQ(r.error(), Error::InvalidUninstallLocation) << c.path;
    }
  }
}

// A relative path is taken from the current folder; without the folders the
// bundle place needs above it, it is refused.
TEST(InstallRootFromManagerPath, RelativePathsNeedTheirParents) {
  test::TempDir dir;
  makeEntry(dir, "app/Resources/uninstall");
  makeEntry(dir, "uninstall.exe");
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(dir.hostPath().c_str()), 0);
  Result<ManagerInstallRoot> bundle = installRootFromManagerPath("app\\Resources\\uninstall", true);
  Result<ManagerInstallRoot> bare = installRootFromManagerPath("uninstall.exe", false);
  Result<ManagerInstallRoot> dotted = installRootFromManagerPath(".\\uninstall.exe", false);
  ASSERT_EQ(::chdir(previous), 0);

  ASSERT_FALSE(bundle.ok());
  EXPECT_EQ(bundle.error(), Error::InvalidUninstallLocation);
  ASSERT_FALSE(bare.ok());
  EXPECT_EQ(bare.error(), Error::InvalidUninstallLocation);
  ASSERT_TRUE(dotted.ok());
  EXPECT_EQ(dotted->root, ".");
}

}  // namespace
}  // namespace tl
