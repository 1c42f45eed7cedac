#include "update/apply/apply_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/io_context.h"
#include "platform/process_waiter.h"
#include "support/outcome.h"
#include "support/temp_dir.h"
#include "update/apply/answering_waiter.h"
#include "update/apply/sample_plan.h"
#include "update/apply/update_aftermath.h"
#include "update/apply/update_result.h"
#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

namespace stdfs = std::filesystem;

using test::outcome;

TEST(ApplyDriver, ReadsThePlanFileBeforeAnythingElse) {
  test::TempDir dir;
  const std::string valid = R"({"schema_version":1,"transaction_id":"t","identifier":"i","channel":"c",)"
                            R"("platform":"p","arch":"a","version":"v","hash":"h","app_bundle_path":"A",)"
                            R"("channel_root":"C","parent_pid":2,"result_path":"R"})";
  const std::pair<std::string, const char*> rows[] = {
      {valid + std::string(65536 - valid.size(), ' '), "ok"},
      {valid + std::string(65537 - valid.size(), ' '), "InvalidUpdatePlan"},
      {R"({"x":1,)" + valid.substr(1), "UnknownField"},
  };
  for (const auto& [text, result] : rows) {
    std::ofstream(dir.host("plan.json"), std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(outcome(readUpdatePlanFile(dir.win("plan.json"))), result) << text.size();
  }
  EXPECT_EQ(outcome(readUpdatePlanFile(dir.path())), "InvalidUpdatePath");
}

TEST(ApplyDriver, RelaunchesThePreviousVersionOnlyWhenThatIsSafe) {
  using process::kWaitObject0;
  using process::kWaitTimeout;
  const std::string safely = "Warning: Could not safely relaunch the previous application after update failure: ";
  const std::string started = "Warning: Could not relaunch the previous application after update failure: ";
  const process::ProcessWait ended{true, kWaitObject0};
  const process::ProcessWait gone{false, process::kErrorInvalidParameter};
  const struct {
    UpdatePhase phase;
    bool parentExited;
    Error error;
    process::ProcessWait parent;
    std::uint32_t waitedMs;  // 0: not waited for
    std::string err;         // the launch is refused, so a start shows as its warning
  } rows[] = {
      {UpdatePhase::validating, false, Error::InvalidUpdatePlan, ended, 120000, started + "error.AccessDenied\n"},
      {UpdatePhase::extracting, false, Error::FileNotFound, gone, 120000, started + "error.AccessDenied\n"},
      {UpdatePhase::validatingPayload, false, Error::InvalidUpdateIdentity, {true, kWaitTimeout}, 120000,
       safely + "error.ParentProcessWaitTimedOut\n"},
      {UpdatePhase::extracting, false, Error::FileNotFound, {false, process::kErrorGenFailure}, 120000,
       safely + "error.ParentProcessWaitFailed\n"},
      {UpdatePhase::waitingForParent, false, Error::ParentProcessWaitTimedOut, ended, 0, ""},
      {UpdatePhase::integrating, false, Error::WindowsCommandFailed, ended, 0, ""},
      {UpdatePhase::swapping, true, Error::AccessDenied, ended, 0, started + "error.AccessDenied\n"},
      {UpdatePhase::launching, true, Error::UpdateRollbackFailed, ended, 0, ""},
      {UpdatePhase::complete, true, Error::AccessDenied, ended, 0, ""},
  };
  test::TempDir dir;
  UpdatePlan plan = test::samplePlan();
  plan.app_bundle_path = dir.win("app");
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(updatePhaseName(row.phase)) + " " + std::string(errorName(row.error)));
    test::AnsweringWaiter waiter;
    waiter.answer = row.parent;
    io().setProcessWaiter(&waiter);
    auto spawned = std::make_shared<std::string>();
    io().setFaultHook([spawned](FsOp op, std::string_view path) -> Status {
      if (op != FsOp::Spawn) return success();
      *spawned = path;
      return Error::AccessDenied;
    });
    testing::internal::CaptureStderr();
    relaunchPreviousApp(plan, row.phase, row.parentExited, row.error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err);
    io().setFaultHook(nullptr);
    io().setProcessWaiter(nullptr);
    EXPECT_EQ(waiter.opens > 0, row.waitedMs > 0);
    EXPECT_EQ(waiter.lastTimeout, row.parent.opened ? row.waitedMs : 0);
    EXPECT_EQ(*spawned, row.err.starts_with(started) ? dir.win("app\\bin\\launcher.exe") : "");
  }
}

TEST(ApplyDriver, RepeatsAFailedSuccessPublicationOnceAfterTheCleanUp) {
  test::IntegrationSandbox box;
  const std::string rel = box.userRel("AppData/Local/com.example.app/stable");
  const std::string root = box.win(rel);
  UpdatePlan plan = test::samplePlan();
  plan.channel_root = root;
  plan.app_bundle_path = root + "\\app";
  plan.retained_tar_path = root + "\\self-extraction\\h2.tar";
  const std::string planRel = rel + "/.tamberlock-update-" + std::string(test::kSampleTid) + ".json";
  const std::string resultRel = rel + "/.tamberlock-update-" + std::string(test::kSampleTid) + ".result.json";
  plan.result_path = box.win(resultRel);
  const std::string retry = "Warning: Will retry update result publication after cleanup: error.AccessDenied\n";
  const struct {
    int failures;  // of the result's publication
    const char* result;
    std::string err;
  } rows[] = {{0, "ok", ""}, {1, "ok", retry}, {2, "AccessDenied", retry}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.failures);
    stdfs::remove(box.host(resultRel));
    box.makeDirs(rel + "/app.previous/bin");
    box.makeDirs(rel + "/self-extraction");
    box.writeFile(rel + "/self-extraction/h2.tar", "tar");
    box.writeFile(rel + "/self-extraction/h1.tar", "tar");
    box.writeFile(planRel, "{}");
    auto left = std::make_shared<int>(row.failures);
    io().setFaultHook([left](FsOp op, std::string_view) -> Status {
      // The publication's rename is the only one.
      if (op == FsOp::Rename && *left > 0) {
        --*left;
        return Error::AccessDenied;
      }
      return success();
    });
    testing::internal::CaptureStderr();
    const Status s = finishAppliedUpdate(plan, box.win(planRel), box.tempDir() + "\\gone.exe", root + "\\app.previous");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), row.err);
    io().setFaultHook(nullptr);
    EXPECT_EQ(outcome(s), row.result);
    EXPECT_EQ(box.exists(resultRel), row.failures < 2);
    EXPECT_FALSE(box.exists(rel + "/app.previous"));
    EXPECT_FALSE(box.exists(rel + "/self-extraction/h1.tar"));
    EXPECT_TRUE(box.exists(rel + "/self-extraction/h2.tar"));
    EXPECT_FALSE(box.exists(planRel));
  }
}

}  // namespace
}  // namespace tl
