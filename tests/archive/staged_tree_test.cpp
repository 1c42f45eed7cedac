#include "archive/staged_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "archive/recipe_tree_fixture.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

namespace sfs = std::filesystem;
using test::writeHostFile;

using Change = std::function<void(const test::TempDir&)>;

class StagedTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // bin is not listed: its entries imply it.
    tree.file("bin/tool", "tool bytes")
        .hardlink("bin/same", "bin/tool")
        .symlink("bin/alias", "tool")
        .dir("lib")
        .symlink("lib/tobin", "../bin")
        .dir("empty")
        .file("readme", "read me")
        .file("zero", "");
    recipe = tree.recipe();
  }

  // A fresh staged copy of the tree with one change, verified.
  Status verifyChanged(const Change& change) {
    test::TempDir t;
    sfs::create_directories(t.host("app"));
    tree.writeTo(t.host("app"));
    if (change) change(t);
    const fs::Dir root = test::openHostDir(t.host("app"));
    return verifyStagedTree(recipe, root);
  }

  static void replaceWithFile(const test::TempDir& t, const char* path, const std::string& content) {
    sfs::remove(t.host(path));
    writeHostFile(t.host(path), content);
  }

  static void replaceLink(const test::TempDir& t, const char* path, const char* target) {
    sfs::remove(t.host(path));
    sfs::create_symlink(target, t.host(path));
  }

  test::RecipeTree tree;
  UpdateRecipe recipe;
};

TEST_F(StagedTreeTest, MatchingTreePasses) {
  const Status s = verifyChanged(nullptr);
  EXPECT_TRUE(s.ok()) << errorName(s.error());
}

TEST_F(StagedTreeTest, LinkTargetWrittenWithBackslashesMatches) {
  const Status s = verifyChanged([](const test::TempDir& t) { replaceLink(t, "app/lib/tobin", "..\\bin"); });
  EXPECT_TRUE(s.ok()) << errorName(s.error());
}

TEST_F(StagedTreeTest, DifferencesAreRefused) {
  struct Case {
    const char* name;
    Change change;
    std::optional<Error> error;  // none: any refusal will do
  };
  const Case cases[] = {
      {"one byte changed", [](const test::TempDir& t) { writeHostFile(t.host("app/readme"), "read mE"); },
       Error::FileHashMismatch},
      {"lengthened", [](const test::TempDir& t) { writeHostFile(t.host("app/readme"), "read me!"); },
       Error::FileSizeMismatch},
      {"file replaced by a link",
       [](const test::TempDir& t) {
         writeHostFile(t.host("copy"), "read me");
         replaceLink(t, "app/readme", t.host("copy").c_str());
       },
       Error::NotRegularFile},
      {"stray file at the top", [](const test::TempDir& t) { writeHostFile(t.host("app/extra"), ""); },
       Error::UnexpectedStagedPath},
      {"stray folder deep down", [](const test::TempDir& t) { sfs::create_directory(t.host("app/empty/x")); },
       Error::UnexpectedStagedPath},
      {"folder in other letter case",
       [](const test::TempDir& t) { sfs::rename(t.host("app/bin"), t.host("app/BIN")); },
       Error::UnexpectedStagedPath},
      {"missing folder", [](const test::TempDir& t) { sfs::remove(t.host("app/empty")); },
       Error::MissingStagedPath},
      {"missing link", [](const test::TempDir& t) { sfs::remove(t.host("app/bin/alias")); },
       Error::MissingStagedPath},
      {"missing hard link", [](const test::TempDir& t) { sfs::remove(t.host("app/bin/same")); },
       Error::MissingStagedPath},
      {"missing file", [](const test::TempDir& t) { sfs::remove(t.host("app/zero")); }, Error::FileNotFound},
      {"hard link replaced by a copy",
       [](const test::TempDir& t) { replaceWithFile(t, "app/bin/same", "tool bytes"); },
       Error::StagedHardlinkTargetMismatch},
      {"hard link replaced by other bytes",
       [](const test::TempDir& t) { replaceWithFile(t, "app/bin/same", "TOOL BYTES"); },
       Error::FileHashMismatch},
      {"link target with a trailing slash",
       [](const test::TempDir& t) { replaceLink(t, "app/lib/tobin", "../bin/"); },
       Error::StagedLinkTargetMismatch},
      {"link pointing elsewhere", [](const test::TempDir& t) { replaceLink(t, "app/bin/alias", "same"); },
       Error::StagedLinkTargetMismatch},
      {"link replaced by a file",
       [](const test::TempDir& t) { replaceWithFile(t, "app/bin/alias", "tool"); },
       Error::StagedEntryTypeMismatch},
      {"folder replaced by a file",
       [](const test::TempDir& t) { replaceWithFile(t, "app/empty", ""); },
       Error::StagedEntryTypeMismatch},
      {"implied folder replaced by a folder link",
       [](const test::TempDir& t) {
         sfs::rename(t.host("app/bin"), t.host("elsewhere"));
         sfs::create_directory_symlink(t.host("elsewhere"), t.host("app/bin"));
       },
       std::nullopt},
  };
  for (const Case& c : cases) {
    const Status s = verifyChanged(c.change);
    ASSERT_FALSE(s.ok()) << c.name;
    if (c.error) {
      EXPECT_EQ(s.error(), *c.error) << c.name << ": " << errorName(s.error());
    }
  }
}

TEST(HashFileSha256Test, HashesExactSizeOnly) {
  test::TempDir t;
  std::string content(150'000, 'z');
  content[149'999] = 'q';
  writeHostFile(t.host("f"), content);
  writeHostFile(t.host("e"), "");
  Result<fs::File> f = fs::openFileRead(t.win("f"));
  ASSERT_TRUE(f.ok());
  Result<std::string> digest = hashFileSha256(*f, content.size());
  ASSERT_TRUE(digest.ok());
  EXPECT_EQ(*digest, sha256Hex(content));
  EXPECT_EQ(hashFileSha256(*f, content.size() - 1).error(), Error::FileSizeMismatch);
  EXPECT_EQ(hashFileSha256(*f, content.size() + 1).error(), Error::FileSizeMismatch);

  Result<fs::File> e = fs::openFileRead(t.win("e"));
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(*hashFileSha256(*e, 0), sha256Hex(""));
}

}  // namespace
}  // namespace tl
