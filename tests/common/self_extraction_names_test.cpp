#include "common/self_extraction_names.h"

#include <gtest/gtest.h>

#include "common/atomic_write.h"

namespace tl {
namespace {

TEST(SelfExtractionNames, RecipeAndPatchFileNames) {
  EXPECT_EQ(recipeFileName("abc123"), "abc123.recipe.json");
  EXPECT_EQ(recipeFileName("current"), "current.recipe.json");
  const std::string id = "0123456789abcdef0123456789abcdef";
  const struct {
    std::string name;
    bool patch;
  } rows[] = {
      {".patch-" + id + "-0.partial", true},     {".patch-" + id + "-63.partial", true},
      {".patch-" + id + "-07.partial", false},   {".patch-" + id + "-.partial", false},
      {".patch-" + id + "-100.partial", false},  {".patch-" + id + "-1.partialx", false},
      {".patch-" + id.substr(1) + "-1.partial", false},
  };
  for (const auto& row : rows) EXPECT_EQ(isPatchFileName(row.name), row.patch) << row.name;
  EXPECT_EQ(patchFileName(id, 7), ".patch-" + id + "-7.partial");
}

TEST(SelfExtractionNames, AtomicTemporariesOfAnyTargetAndTheBareDigitsOfEarlierVersions) {
  for (const char* name : {"0123456789abcdef", "h2.recipe.json.tmp-0123456789abcdef"}) {
    EXPECT_TRUE(isAtomicTemporaryName(name)) << name;
  }
  for (const char* name : {".tmp-0123456789abcdef", "x.tmp-0123456789ABCDEF", "x.tmp-0123456789abcde", "x.tmp-1-2",
                           "x.tmp-0123456789abcdef.x", "0123456789abcdef0"}) {
    EXPECT_FALSE(isAtomicTemporaryName(name)) << name;
  }
}

}  // namespace
}  // namespace tl
