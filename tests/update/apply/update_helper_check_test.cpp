#include "update/apply/update_helper_check.h"

#include <gtest/gtest.h>

#include "platform/process.h"
#include "update/apply/sample_plan.h"
#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

const std::string kTid = test::kSampleTid;

TEST(UpdateHelperCheck, OnlyTheExpectedTempCopy) {
  test::IntegrationSandbox box;
  const std::string temp = box.userRel("AppData/Local/Temp/"), good = "tamberlock-update-" + kTid + ".exe";
  box.makeDirs(temp + "sub");
  box.makeDirs(temp + "dir/" + good);
  for (const std::string& f : {good, "tamberlock-update-" + kTid + ".EXE", "sub/" + good}) box.writeFile(temp + f, "");
  const std::string upper = "0123456789ABCDEF0123456789abcdef";
  const std::tuple<std::string, std::string, const char*> cases[] = {
      // the copy's path below TEMP, the plan's transaction id, the outcome
      {good, kTid, "ok"},
      {"tamberlock-update-" + kTid + ".EXE", kTid, "InvalidUpdateHelper"},
      {"sub/" + good, kTid, "InvalidUninstallLocation"},
      {"dir/" + good, kTid, "InvalidUpdatePath"},
      {"other.exe", upper, "InvalidUpdatePlan"},
  };
  for (const auto& [exe, tid, result] : cases) {
    process::setOwnExecutablePathForTesting(box.win(temp + exe));
    const Result<std::string> r = verifyUpdateHelperPath(tid);
    EXPECT_EQ(r ? "ok," + *r : std::string(errorName(r.error())), r ? "ok," + box.win(temp + exe) : result) << exe;
    EXPECT_EQ(r.ok(), std::string(result) == "ok") << exe;
  }
  process::setOwnExecutablePathForTesting("");
}

}  // namespace
}  // namespace tl
