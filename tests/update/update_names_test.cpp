#include "update/update_names.h"

#include <gtest/gtest.h>

#include "common/hex.h"

namespace tl {
namespace {

bool isPreparedOfApp(std::string_view name) { return isPreparedDirName(name, "app"); }

TEST(UpdateNames, Rules) {
  struct {
    bool (*rule)(std::string_view);
    std::string text;
    bool ok;
  } cases[] = {
      {isValidText, std::string(256, 'v'), true}, {isValidText, std::string(257, 'v'), false},
      {isValidText, "", false},                   {isValidText, "a\x7F", false},
      {isValidText, "caf\xC3\xA9", true},         {isValidText, "caf\xC3", false},
      {isSafeFileName, "com0", true},             {isSafeFileName, "lpt10", true},
      {isSafeFileName, "Com1", false},            {isSafeFileName, "NUL.txt", false},
      {isSafeFileName, "name.", false},           {isSafeFileName, "a/b", false},
      {isSafeFileName, "a\\b", false},            {isSafeFileName, "a:b", false},
      {isValidBuildHash, "0a9z", true},           {isValidBuildHash, std::string(14, 'z'), false},
      {isValidBuildHash, "", false},              {isValidBuildHash, "aB", false},
      {isValidBuildHash, "a-b", false},           {isHexId32, std::string(32, 'f'), true},
      {isHexId32, std::string(31, 'f') + "F", false}, {isHexId32, std::string(33, 'f'), false},
      {isPreparedOfApp, "app.prepared-0a9z", true},   {isPreparedOfApp, "app.prepared-H7", false},
      {isPreparedOfApp, "app.prepared-h7.x", false},  {isPreparedOfApp, "app.prepared-" + std::string(14, 'z'), false},
      {isPreparedOfApp, "App.prepared-h7", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.rule(c.text), c.ok) << c.text;
}

TEST(UpdateNames, Builders) {
  const std::string id(32, 'a');
  EXPECT_EQ(prepareRequestFileName(id) + artifactPrefix("stable", "win", "x64") + preparedDirName("app", "b7"),
            ".tamberlock-prepare-" + id + ".jsonstable-win-x64-app.prepared-b7");
  EXPECT_EQ(*transactionResultFileName(id), ".tamberlock-update-" + id + ".result.json");
  EXPECT_EQ(transactionFileName(std::string(31, 'a') + "A").error(), Error::InvalidUpdatePlan);
}

}  // namespace
}  // namespace tl
