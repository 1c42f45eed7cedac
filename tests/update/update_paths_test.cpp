#include "update/update_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/env.h"
#include "support/outcome.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::outcome;
// Unlike outcome(), a folder that was found reads as itself.
std::string folderOrError(const Result<std::string>& r) { return r ? *r : outcome(r); }

TEST(UpdatePaths, PathsMustBeWrittenNormalised) {
  for (const char* ok : {"c:\\users", "C:\\", "\\\\server\\share\\x", "\\rooted", "\\\\.\\C:\\x", "\\\\?\\C:\\x"}) {
    EXPECT_EQ(outcome(validateUpdatePath(ok)), "ok") << ok;
  }
  using namespace std::literals;
  for (std::string_view bad : {"C:x"sv, "rel\\x"sv, ""sv, "C:\\x\\"sv, "C:\\x\\."sv, "C:\\x\\..\\x"sv, "C:\\x\\\\y"sv,
                               "C:/x"sv, "C:\\x\0y"sv}) {
    EXPECT_EQ(outcome(validatePreparePath(bad)), "InvalidUpdatePath") << bad;
  }
}

TEST(UpdatePaths, HomeFolders) {
  struct {
    std::map<std::string, std::string> env;
    const char* channel;
    const char* update;   // updateHomeDir of "Acme", or its error
    const char* install;  // installHomeDir
  } cases[] = {
      {{{"LOCALAPPDATA", "C:\\L\\"}, {"USERPROFILE", "C:\\U"}}, "dev", "C:\\L\\Acme", "C:\\L\\Acme"},
      {{{"USERPROFILE", "C:\\U"}}, "canary", "C:\\U\\AppData\\Local\\Acme", "C:\\U\\AppData\\Local\\Acme"},
      {{}, "stable", "MissingUpdateHome", "EnvironmentVariableNotFound"},
      {{{"LOCALAPPDATA", "C:\\L"}}, "beta", "C:\\L\\Acme", "InvalidUpdateIdentity"},
  };
  for (const auto& c : cases) {
    env::setForTesting(c.env);
    EXPECT_EQ(folderOrError(updateHomeDir("Acme")), c.update) << c.update;
    EXPECT_EQ(folderOrError(installHomeDir("Acme", c.channel)), c.install) << c.install;
  }
  env::setForTesting({});
}

TEST(UpdatePaths, ChildrenDirectlyInTheirRoot) {
  test::TempDir tmp;
  std::filesystem::create_directories(tmp.host("root/dir/deeper"));
  std::filesystem::create_directories(tmp.host("elsewhere/dir"));
  std::ofstream(tmp.host("root/file")) << "x";
  ::symlink(tmp.host("elsewhere/dir").c_str(), tmp.host("root/link").c_str());
  ::symlink(tmp.host("root").c_str(), tmp.host("rootlink").c_str());
  const std::string root = tmp.win("root");
  struct {
    std::string root;
    std::string child;
    PathKind kind;
    const char* error;
  } cases[] = {
      {tmp.win("ROOT"), tmp.win("root\\DIR"), PathKind::directory, "ok"},
      {root, tmp.win("root\\file"), PathKind::regularFile, "ok"},
      {tmp.win("rootlink"), tmp.win("rootlink\\dir"), PathKind::directory, "ok"},  // judged by its real place
      {root, tmp.win("root\\file"), PathKind::directory, "InvalidUpdatePath"},
      {root, tmp.win("root\\missing"), PathKind::regularFile, "InvalidUpdatePath"},
      {root, tmp.win("root\\dir\\deeper"), PathKind::directory, "InvalidUpdatePath"},
      {root, tmp.win("root\\link"), PathKind::directory, "InvalidUpdatePath"},
      {root, tmp.win("root\\.\\dir"), PathKind::directory, "InvalidUpdatePath"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(requirePathWithin(c.root, c.child, c.kind)), c.error) << c.child;
  EXPECT_EQ(outcome(requireDirectory(tmp.win("root\\dir"))), "ok");
  EXPECT_EQ(outcome(requireDirectory(tmp.win("root\\link"))), "InvalidUpdatePath");
}

}  // namespace
}  // namespace tl
