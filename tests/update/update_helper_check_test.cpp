#include "update/update_helper_check.h"

#include <gtest/gtest.h>

#include "platform/process.h"
#include "update/sample_plan.h"
#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

constexpr const char* kTid = test::kSampleTid;

TEST(UpdateHelperCheck, OnlyTheExpectedTempCopy) {
  test::IntegrationSandbox box;
  const std::string temp = box.userRel("AppData/Local/Temp/");
  const std::string good = "tamberlock-update-" + std::string(kTid) + ".exe";
  box.makeDirs(temp + "sub");
  box.makeDirs(temp + "dir/" + good);
  for (const std::string& f : {good, "tamberlock-update-" + std::string(kTid) + ".EXE", "sub/" + good}) {
    box.writeFile(temp + f, "copy");
  }
  struct {
    std::string exe;  // below TEMP
    std::string tid;
    const char* result;
  } cases[] = {
      {good, kTid, "ok"},
      {"tamberlock-update-" + std::string(kTid) + ".EXE", kTid, "InvalidUpdateHelper"},
      {"sub/" + good, kTid, "InvalidUninstallLocation"},
      {"missing/" + good, kTid, "InvalidUpdatePath"},
      {"dir/" + good, kTid, "InvalidUpdatePath"},
      {good, "0123456789ABCDEF0123456789abcdef", "InvalidUpdatePlan"},
      {"other.exe", "0123456789ABCDEF0123456789abcdef", "InvalidUpdatePlan"},
      {"tamberlock-update-" + std::string(kTid) + ".exe.exe", kTid, "InvalidUpdateHelper"},
  };
  for (const auto& c : cases) {
    process::setOwnExecutablePathForTesting(box.win(temp + c.exe));
    const Result<std::string> r = verifyUpdateHelperPath(c.tid);
    EXPECT_EQ(r.ok() ? "ok" : errorName(r.error()), c.result) << c.exe;
    if (r.ok()) {
      EXPECT_EQ(*r, box.win(temp + c.exe));
    }
  }
  process::setOwnExecutablePathForTesting("");
}

}  // namespace
}  // namespace tl
