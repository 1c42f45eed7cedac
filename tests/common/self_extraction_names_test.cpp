#include "common/self_extraction_names.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tl
