#pragma once
// What follows an update that could not be applied: the user keeps a
// running application (the previous version is started again when that is
// safe), and the helper copy, its scheduled task and the plan do not stay
// behind. None of it changes the run's outcome: failures here are warnings.
#include <string_view>

#include "common/error.h"
#include "update/apply/parent_process_wait.h"
#include "update/apply/update_plan.h"
#include "update/apply/update_plan_check.h"
#include "update/apply/update_result.h"

namespace tl {

enum class RelaunchRule : unsigned char {
  never,        // a failed rollback, a completed update, or a failure while the parent may still run
  now,          // the parent process has ended
  afterParent,  // a failure before the parent wait: wait for it first
};

// The decision alone: UpdateRollbackFailed and complete never relaunch;
// otherwise an ended parent relaunches at once; a failure at
// waiting_for_parent, swapping, integrating or launching (with the parent
// not known to have ended) never does; validating, extracting and
// validating_payload relaunch once the parent has ended.
RelaunchRule relaunchRule(UpdatePhase phase, bool parentExited, Error error);

// Carries out relaunchRule: starts app_bundle_path's launcher without a
// window, after waiting for the parent where the rule says so. A failed wait
// or start is a warning. The parent is waited for through `parent` (the
// handle the driver opened before staging); the form without it opens
// parent_pid when it waits.
void relaunchPreviousApp(const UpdatePlan& plan, UpdatePhase phase, bool parentExited, Error error,
                         ParentProcess& parent);
void relaunchPreviousApp(const UpdatePlan& plan, UpdatePhase phase, bool parentExited, Error error);

// A plan that failed its check with `error`. Unless the running program is
// the plan's helper copy nothing at all happens. Otherwise the task and the
// copy go, the result is written and the plan deleted only where `progress`
// verified their paths, and the previous version is relaunched (after the
// parent's end) only when verifyRelaunchTarget accepts the plan. Failures
// are reported on standard error and change nothing else.
void handleRejectedPlan(const UpdatePlan& plan, std::string_view planPath, const PlanCheckProgress& progress,
                        Error error);

// A plan turned away because a helper of another transaction is applying:
// handleRejectedPlan's road for UpdateApplicationBusy, without the relaunch
// (the other helper starts the application it leaves in place).
void handleTurnedAwayPlan(const UpdatePlan& plan, std::string_view planPath, const PlanCheckProgress& progress);

// The plan file is deleted (missing counts as done); failures are ignored.
// Gives the error for the one caller that reports it.
[[nodiscard]] Status deletePlanFile(std::string_view planPath);

}  // namespace tl
