#include "update/apply/update_aftermath.h"

#include <optional>
#include <string>

#include "common/diagnostics.h"
#include "common/paths.h"
#include "common/retrying_delete.h"
#include "platform/fs.h"
#include "update/apply/relaunch_target.h"
#include "update/apply/update_helper_check.h"
#include "update/apply/update_helper_cleanup.h"
#include "update/apply/update_launch.h"

namespace tl {

RelaunchRule relaunchRule(UpdatePhase phase, bool parentExited, Error error) {
  if (error == Error::UpdateRollbackFailed || phase == UpdatePhase::complete) return RelaunchRule::never;
  if (parentExited) return RelaunchRule::now;
  switch (phase) {
    case UpdatePhase::validating:
    case UpdatePhase::extracting:
    case UpdatePhase::validatingPayload:
      return RelaunchRule::afterParent;
    default:
      return RelaunchRule::never;
  }
}

void relaunchPreviousApp(const UpdatePlan& plan, UpdatePhase phase, bool parentExited, Error error,
                         ParentProcess& parent) {
  const RelaunchRule rule = relaunchRule(phase, parentExited, error);
  if (rule == RelaunchRule::never) return;
  if (rule == RelaunchRule::afterParent) {
    // Starting the previous version while the parent still runs would give
    // the user two copies of the application.
    const Status waited = parent.wait();
    if (!waited) {
      diagLine({"Warning: Could not safely relaunch the previous application after update failure: ", waited.error()});
      return;
    }
  }
  const Status launched = launchAppWithoutWindow(plan.app_bundle_path);
  if (!launched) {
    diagLine({"Warning: Could not relaunch the previous application after update failure: ", launched.error()});
  }
}

void relaunchPreviousApp(const UpdatePlan& plan, UpdatePhase phase, bool parentExited, Error error) {
  ParentProcess parent(plan.parent_pid);
  relaunchPreviousApp(plan, phase, parentExited, error, parent);
}

Status deletePlanFile(std::string_view planPath) {
  const std::optional<std::string> folderPath = parentPath(planPath);
  if (!folderPath) return Error::InvalidUpdatePath;
  const fs::Dir folder = TRY(fs::openDir(*folderPath));
  return deleteFileWithRetries(folder, lastComponent(planPath));
}

namespace {

// What a plan that is not applied leaves: its task and copy, and where its
// paths were verified its result and the plan itself.
void releaseUnappliedPlan(const UpdatePlan& plan, std::string_view planPath, const PlanCheckProgress& progress,
                          Error error, bool relaunch) {
  // Only the plan's own helper copy may delete anything on its behalf.
  const Result<std::string> helper = verifyUpdateHelperPath(plan.transaction_id);
  if (!helper) return;
  deleteUpdateTask(plan.transaction_id);
  if (progress.resultPathVerified) {
    const Status written =
        writeUpdateResult(plan.result_path, plan, false, UpdatePhase::validating, errorName(error));
    if (!written) diagLine({"ERROR: Could not publish update validation failure result: ", written.error()});
  }
  if (progress.planPathVerified) {
    const Status removed = deletePlanFile(planPath);
    if (!removed) diagLine({"Warning: Could not remove rejected update plan: ", removed.error()});
  }
  if (relaunch) {
    const Status target = verifyRelaunchTarget(plan);
    if (target) {
      relaunchPreviousApp(plan, UpdatePhase::validating, false, error);
    } else {
      diagLine({"Warning: Refusing to relaunch an unvalidated update target: ", target.error()});
    }
  }
  // Last, as on the failure road: the script gives up after about 30 s, and
  // the copy cannot go while it still waits for the parent.
  scheduleHelperCleanup(*helper);
}

}  // namespace

void handleRejectedPlan(const UpdatePlan& plan, std::string_view planPath, const PlanCheckProgress& progress,
                        Error error) {
  releaseUnappliedPlan(plan, planPath, progress, error, /*relaunch=*/true);
}

void handleTurnedAwayPlan(const UpdatePlan& plan, std::string_view planPath, const PlanCheckProgress& progress) {
  releaseUnappliedPlan(plan, planPath, progress, Error::UpdateApplicationBusy, /*relaunch=*/false);
}

}  // namespace tl
