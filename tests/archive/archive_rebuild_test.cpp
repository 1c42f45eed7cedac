#include "archive/archive_rebuild.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "archive/recipe_tree_fixture.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

namespace sfs = std::filesystem;
using test::writeHostFile;

class ArchiveRebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Larger than one 64 KiB piece, and not a multiple of it.
    big.resize(200'001);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
    tree.dir("bin")
        .file("bin/tool", "#!/bin/sh\necho tool\n")
        .file("big.dat", big)
        .file("empty", "")
        .literal(std::string(100 * 1024, 'L'))
        .symlink("bin/alias", "tool")
        .hardlink("bin/same", "bin/tool");
    recipe = tree.recipe();
    sfs::create_directories(tmp.host("app"));
    tree.writeTo(tmp.host("app"));
  }

  Status rebuild(ByteWriter& out) {
    const fs::Dir root = test::openHostDir(tmp.host("app"));
    return rebuildArchiveFromRecipe(recipe, root, out);
  }

  test::TempDir tmp;
  test::RecipeTree tree;
  UpdateRecipe recipe;
  std::string big;
};

TEST_F(ArchiveRebuildTest, MatchingTreeRebuildsTheArchive) {
  StringWriter out;
  const Status s = rebuild(out);
  ASSERT_TRUE(s.ok()) << errorName(s.error());
  EXPECT_EQ(out.str().size(), recipe.archive_size);
  EXPECT_EQ(sha256Hex(out.str()), recipe.archive_sha256);
  EXPECT_EQ(out.str(), tree.archive());
}

TEST_F(ArchiveRebuildTest, UpperCaseLiteralHexDecodes) {
  for (RecipeSpan& span : recipe.spans) {
    if (!span.literal_hex) continue;
    for (char& c : *span.literal_hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  StringWriter out;
  ASSERT_TRUE(rebuild(out).ok());
  EXPECT_EQ(out.str(), tree.archive());
}

TEST_F(ArchiveRebuildTest, TreeChangesAreCaught) {
  struct Case {
    const char* name;
    std::function<void(const test::TempDir&)> change;
    Error error;
  };
  const Case cases[] = {
      {"one byte changed",
       [&](const test::TempDir& t) {
         std::string edited = big;
         edited[70'000] ^= 1;
         writeHostFile(t.host("app/big.dat"), edited);
       },
       Error::FileHashMismatch},
      {"lengthened", [&](const test::TempDir& t) { writeHostFile(t.host("app/big.dat"), big + "x"); },
       Error::FileSizeMismatch},
      {"empty file filled", [](const test::TempDir& t) { writeHostFile(t.host("app/empty"), "x"); },
       Error::FileSizeMismatch},
      {"missing", [](const test::TempDir& t) { sfs::remove(t.host("app/empty")); }, Error::FileNotFound},
      {"replaced by a link to an identical file",
       [&](const test::TempDir& t) {
         writeHostFile(t.host("copy"), big);
         sfs::remove(t.host("app/big.dat"));
         sfs::create_symlink(t.host("copy"), t.host("app/big.dat"));
       },
       Error::NotRegularFile},
  };
  for (const Case& c : cases) {
    test::TempDir t;
    sfs::create_directories(t.host("app"));
    tree.writeTo(t.host("app"));
    c.change(t);
    const fs::Dir root = test::openHostDir(t.host("app"));
    CountingWriter out;
    const Status s = rebuildArchiveFromRecipe(recipe, root, out);
    ASSERT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.error(), c.error) << c.name << ": " << errorName(s.error());
  }
}

TEST_F(ArchiveRebuildTest, LengthenedFileFailsBeforeItsBytesAreWritten) {
  writeHostFile(tmp.host("app/big.dat"), big + "x");
  CountingWriter out;
  EXPECT_EQ(rebuild(out).error(), Error::FileSizeMismatch);
  std::uint64_t bigOffset = 0;
  for (const RecipeEntry& e : recipe.entries) {
    if (e.path == "big.dat") bigOffset = e.tar_offset;
  }
  EXPECT_EQ(out.count(), bigOffset);
}

TEST_F(ArchiveRebuildTest, RecipeErrors) {
  CountingWriter out;
  recipe.archive_sha256 = std::string(64, 'a');
  EXPECT_EQ(rebuild(out).error(), Error::ArchiveHashMismatch);

  recipe = tree.recipe();
  recipe.schema_version = 2;  // validation runs first
  EXPECT_EQ(rebuild(out).error(), Error::InvalidRecipe);
}

}  // namespace
}  // namespace tl
