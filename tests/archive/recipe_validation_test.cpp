#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "archive/recipe_tree_fixture.h"
#include "archive/update_recipe.h"
#include "support/outcome.h"

namespace tl {
namespace {

using test::outcome;

RecipeEntry& entry(UpdateRecipe& r, std::string_view path) {
  for (auto& e : r.entries) {
    if (e.path == path) return e;
  }
  throw std::runtime_error("no entry " + std::string(path));
}

RecipeSpan& spanOf(UpdateRecipe& r, std::string_view path) {
  for (auto& s : r.spans) {
    if (s.path && *s.path == path) return s;
  }
  throw std::runtime_error("no span " + std::string(path));
}

UpdateRecipe base() {
  return test::RecipeTree()
      .dir("App")
      .dir("App/bin")
      .file("App/bin/tool", "hello")
      .file("App/bin/empty", "")
      .symlink("App/lib", "bin")
      .hardlink("App/bin/tool2", "App/bin/tool")
      .recipe();
}

struct Case {
  const char* name;
  std::function<void(UpdateRecipe&)> mutate;
  const char* error;
};

TEST(RecipeValidation, ChecksInOrder) {
  const std::vector<Case> cases = {
      {"unchanged", [](UpdateRecipe&) {}, "ok"},
      // header
      {"schema 2", [](UpdateRecipe& r) { r.schema_version = 2; }, "InvalidRecipe"},
      {"size 512", [](UpdateRecipe& r) { r.archive_size = 512; }, "InvalidRecipe"},
      {"size 1000", [](UpdateRecipe& r) { r.archive_size = 1000; }, "InvalidRecipe"},
      {"size 1100", [](UpdateRecipe& r) { r.archive_size = 1100; }, "InvalidRecipe"},
      {"upper-case digest", [](UpdateRecipe& r) { r.archive_sha256[10] = 'A'; }, "InvalidRecipe"},
      {"short digest", [](UpdateRecipe& r) { r.archive_sha256.pop_back(); }, "InvalidRecipe"},
      {"empty root", [](UpdateRecipe& r) { r.root = ""; }, "InvalidArchivePath"},
      {"device root", [](UpdateRecipe& r) { r.root = "con"; }, "InvalidArchivePath"},
      {"two-component root", [](UpdateRecipe& r) { r.root = "a/b"; }, "InvalidRecipe"},
      {"root mode 511", [](UpdateRecipe& r) { r.root_mode = 0777; }, "ok"},
      {"root mode 512", [](UpdateRecipe& r) { r.root_mode = 01000; }, "InvalidRecipe"},
      {"100000 entries reach the entry checks",
       [](UpdateRecipe& r) { r.entries.resize(100000); }, "InvalidArchivePath"},
      {"100001 entries", [](UpdateRecipe& r) { r.entries.resize(100001); }, "InvalidRecipe"},
      {"200001 spans reach the entry checks",
       [](UpdateRecipe& r) {
         r.entries.front().path = "";
         r.spans.resize(200001);
       },
       "InvalidArchivePath"},
      {"200002 spans",
       [](UpdateRecipe& r) {
         r.entries.front().path = "";
         r.spans.resize(200002);
       },
       "InvalidRecipe"},
      // entries
      {"bad path", [](UpdateRecipe& r) { entry(r, "App/bin").path = "App//bin"; }, "InvalidArchivePath"},
      {"mode 512", [](UpdateRecipe& r) { entry(r, "App/bin").mode = 01000; }, "InvalidRecipe"},
      {"offset past the end",
       [](UpdateRecipe& r) { entry(r, "App").tar_offset = r.archive_size + 1; }, "InvalidRecipe"},
      {"size past the end without wrapping",
       [](UpdateRecipe& r) {
         entry(r, "App").tar_offset = 1;
         entry(r, "App").size = ~std::uint64_t{0};
       },
       "InvalidRecipe"},
      {"case-only duplicate", [](UpdateRecipe& r) { entry(r, "App/lib").path = "app/BIN"; }, "DuplicateArchivePath"},
      {"non-ASCII case is not folded",
       [](UpdateRecipe& r) {
         r.entries.push_back(r.entries.front());
         r.entries.back().path = "\xc3\x89";
         r.entries.push_back(r.entries.front());
         r.entries.back().path = "\xc3\xa9";
       },
       "ok"},
      {"file without digest", [](UpdateRecipe& r) { entry(r, "App/bin/tool").sha256.reset(); }, "InvalidRecipe"},
      {"file with upper-case digest",
       [](UpdateRecipe& r) { (*entry(r, "App/bin/tool").sha256)[0] = 'F'; }, "InvalidRecipe"},
      {"file with link target", [](UpdateRecipe& r) { entry(r, "App/bin/tool").link_target = "x"; }, "InvalidRecipe"},
      {"directory with size", [](UpdateRecipe& r) { entry(r, "App/bin").size = 1; }, "InvalidRecipe"},
      {"directory with digest", [](UpdateRecipe& r) { entry(r, "App/bin").sha256 = std::string(64, '0'); },
       "InvalidRecipe"},
      {"symlink without target", [](UpdateRecipe& r) { entry(r, "App/lib").link_target.reset(); }, "InvalidRecipe"},
      {"symlink with size", [](UpdateRecipe& r) { entry(r, "App/lib").size = 1; }, "InvalidRecipe"},
      {"symlink above the root", [](UpdateRecipe& r) { entry(r, "App/lib").link_target = "../.."; },
       "InvalidLinkTarget"},
      {"symlink to the root", [](UpdateRecipe& r) { entry(r, "App/lib").link_target = ".."; }, "ok"},
      {"absolute symlink", [](UpdateRecipe& r) { entry(r, "App/lib").link_target = "/etc"; }, "InvalidLinkTarget"},
      {"hard link with bad path", [](UpdateRecipe& r) { entry(r, "App/bin/tool2").link_target = "a/../b"; },
       "InvalidArchivePath"},
      {"hard link with digest", [](UpdateRecipe& r) { entry(r, "App/bin/tool2").sha256 = std::string(64, '0'); },
       "InvalidRecipe"},
      {"hard link to a folder", [](UpdateRecipe& r) { entry(r, "App/bin/tool2").link_target = "App/bin"; },
       "InvalidLinkTarget"},
      {"hard link by other case", [](UpdateRecipe& r) { entry(r, "App/bin/tool2").link_target = "app/bin/tool"; },
       "InvalidLinkTarget"},
      {"hard link to nothing", [](UpdateRecipe& r) { entry(r, "App/bin/tool2").link_target = "App/none"; },
       "InvalidLinkTarget"},
      {"ancestor is a file",
       [](UpdateRecipe& r) {
         r.entries.push_back(entry(r, "App/bin"));
         r.entries.back().path = "App/bin/tool/x";
       },
       "NonDirectoryArchiveAncestor"},
      {"listed folder in another case",
       [](UpdateRecipe& r) {
         r.entries.push_back(entry(r, "App/bin"));
         r.entries.back().path = "APP/bin/x";
       },
       "DuplicateArchivePath"},
      {"implied folder in another case",
       [](UpdateRecipe& r) {
         r.entries.push_back(entry(r, "App/bin"));
         r.entries.back().path = "Other/x";
         r.entries.push_back(entry(r, "App/bin"));
         r.entries.back().path = "other";
       },
       "DuplicateArchivePath"},
      {"ancestor is a symlink listed later",
       [](UpdateRecipe& r) {
         r.entries.insert(r.entries.begin(), entry(r, "App/bin"));
         r.entries.front().path = "App/lib/x/y";
       },
       "NonDirectoryArchiveAncestor"},
      {"unlisted ancestors",
       [](UpdateRecipe& r) {
         r.entries.push_back(entry(r, "App/bin"));
         r.entries.back().path = "Other/deep/x";
       },
       "ok"},
      {"hard-link failure of an earlier entry wins",
       [](UpdateRecipe& r) {
         entry(r, "App/bin/tool2").link_target = "App/bin";
         r.entries.push_back(entry(r, "App/bin"));
         r.entries.back().path = "App/bin/tool/x";
       },
       "InvalidLinkTarget"},
      // spans
      {"span with neither", [](UpdateRecipe& r) { r.spans.front().literal_hex.reset(); }, "InvalidRecipe"},
      {"span with both", [](UpdateRecipe& r) { r.spans.front().path = "App/bin/tool"; }, "InvalidRecipe"},
      {"upper-case literal",
       [](UpdateRecipe& r) { r.spans.front().literal_hex = std::string(1024, 'F'); }, "ok"},
      {"literal not hex", [](UpdateRecipe& r) { (*r.spans.front().literal_hex)[7] = 'g'; }, "InvalidRecipe"},
      {"literal of wrong length", [](UpdateRecipe& r) { r.spans.front().literal_hex->pop_back(); }, "InvalidRecipe"},
      {"one literal over 64 MiB",
       [](UpdateRecipe& r) { r.spans.front().size = 67108865; }, "InvalidRecipe"},
      {"span naming nothing", [](UpdateRecipe& r) { spanOf(r, "App/bin/tool").path = "App/bin/nope"; },
       "InvalidRecipe"},
      {"span naming a folder",
       [](UpdateRecipe& r) {
         RecipeSpan& s = spanOf(r, "App/bin/empty");
         s.path = "App/bin";
       },
       "InvalidRecipe"},
      {"span of other size", [](UpdateRecipe& r) { spanOf(r, "App/bin/tool").size = 4; }, "InvalidRecipe"},
      {"file at another offset", [](UpdateRecipe& r) { entry(r, "App/bin/tool").tar_offset += 1; },
       "InvalidRecipe"},
      {"span named twice",
       [](UpdateRecipe& r) {
         // Both at the same offset: the empty file's span repeated.
         auto it = std::find_if(r.spans.begin(), r.spans.end(),
                                [](const RecipeSpan& s) { return s.path && *s.path == "App/bin/empty"; });
         r.spans.insert(it, *it);
       },
       "InvalidRecipe"},
      {"empty file never named",
       [](UpdateRecipe& r) {
         auto it = std::find_if(r.spans.begin(), r.spans.end(),
                                [](const RecipeSpan& s) { return s.path && *s.path == "App/bin/empty"; });
         r.spans.erase(it);
       },
       "InvalidRecipe"},
      {"spans short of the archive", [](UpdateRecipe& r) { r.archive_size += 512; }, "InvalidRecipe"},
      {"no spans", [](UpdateRecipe& r) { r.spans.clear(); }, "InvalidRecipe"},
  };
  for (const Case& c : cases) {
    UpdateRecipe r = base();
    c.mutate(r);
    EXPECT_EQ(outcome(validateRecipe(r)), c.error) << c.name;
  }
}

TEST(RecipeValidation, SmallestArchives) {
  UpdateRecipe r = test::RecipeTree().recipe();
  EXPECT_EQ(r.archive_size, 1024u);
  EXPECT_TRUE(validateRecipe(r).ok());
  r = test::RecipeTree().literal(std::string(512, 'x')).recipe();
  EXPECT_EQ(r.archive_size, 1536u);
  EXPECT_TRUE(validateRecipe(r).ok());
}

TEST(RecipeValidation, LiteralBytesAndWrittenSizeAreCapped) {
  constexpr std::uint64_t k64MiB = 67108864;
  UpdateRecipe r = test::RecipeTree().recipe();
  r.spans.clear();
  RecipeSpan big;
  big.literal_hex = std::string(2 * (k64MiB - 512), '0');
  big.size = k64MiB - 512;
  r.spans.push_back(std::move(big));
  RecipeSpan tail;
  tail.literal_hex = std::string(1026, '0');
  tail.size = 513;
  r.spans.push_back(std::move(tail));
  r.archive_size = k64MiB + 512;
  // One byte over in total: the literal cap, before the archive size is compared.
  EXPECT_EQ(outcome(validateRecipe(r)), "RecipeTooLarge");

  // Exactly 64 MiB of literals passes that cap, but written out the recipe
  // exceeds 128 MiB.
  r.spans.back().literal_hex = std::string(1024, '0');
  r.spans.back().size = 512;
  r.archive_size = k64MiB;
  EXPECT_EQ(outcome(validateRecipe(r)), "RecipeTooLarge");
  EXPECT_EQ(outcome(checkRecipeSize(r)), "RecipeTooLarge");
  r.spans.front().literal_hex = std::string(2 * (k64MiB / 2), '0');
  r.spans.front().size = k64MiB / 2;
  EXPECT_EQ(outcome(checkRecipeSize(r)), "ok");
}

// Counting ".." only by name lets a target leave the archive through a link
// to a folder: with a -> ".", "a/.." is the root's parent on a real disk.
TEST(RecipeValidation, DotDotAfterALinkIsRefused) {
  struct LinkCase {
    std::vector<std::pair<std::string, std::string>> links;  // path, target
    const char* error;
  };
  const std::vector<LinkCase> cases = {
      {{{"a", "."}, {"b", "a/.."}}, "InvalidLinkTarget"},
      {{{"c", "."}, {"t", "c/c/.."}}, "InvalidLinkTarget"},
      {{{"c", "."}, {"t", "c/c/c/../../.."}}, "InvalidLinkTarget"},
      {{{"b", "a/.."}, {"a", "."}}, "InvalidLinkTarget"},   // the link listed later
      {{{"A", "."}, {"b", "a/./.."}}, "InvalidLinkTarget"},  // names are folded
      {{{"s", "s/.."}}, "InvalidLinkTarget"},
      {{{"d/up", ".."}, {"t", "d/up/.."}}, "InvalidLinkTarget"},
      {{{"a", "."}, {"b", "a/a/x"}}, "ok"},  // no climb after the link
      {{{"d/up", ".."}, {"t", "d/../d/up"}}, "ok"},
      {{{"d/x", "../d/./y/.."}}, "ok"},  // only folders walked before each ".."
  };
  for (const auto& c : cases) {
    test::RecipeTree tree;
    tree.dir("d");
    for (const auto& [path, target] : c.links) tree.symlink(path, target);
    EXPECT_EQ(outcome(validateRecipe(tree.recipe())), c.error) << c.links.back().second;
  }
}

}  // namespace
}  // namespace tl
