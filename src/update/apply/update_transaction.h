#pragma once
// Applying a checked update plan: the new version takes the installed one's
// place, and a failure puts the installed version back.
#include <string>

#include "common/result.h"
#include "update/apply/parent_process_wait.h"
#include "update/apply/update_plan.h"
#include "update/apply/update_plan_check.h"
#include "update/apply/update_result.h"
#include "update/update_locks.h"

namespace tl {

// The apply driver's entry, run under the apply lock, with the parent
// process opened by the driver. Writes each phase into `phase` as it is
// entered (it stays launching on success, for the driver to set complete)
// and sets parentExited once the parent is known to have ended.
//
// Before anything is staged (phase still validating), under the
// installation mutex: a swap that stopped between its renames is put back;
// when app already holds the plan's version (validateAppliedPayload: a run
// of this version was stopped after its swap) the commit is finished
// instead of staging: integration, launch, and a rollback from the previous
// folder as after a failed swap, without a parent wait; otherwise, when the
// apply lock file records a swap whose integration never settled, app is
// integrated again as the installed version ("Warning: Could not restore
// previous uninstall integration" when that fails). Then the app.update-<id>
// stages of killed runs are deleted (InvalidInterruptedUpdateStage for
// anything else by such a name).
//
// Returns the previous folder (app + ".previous"), which the driver removes
// after publishing the result. On failure: the error, `phase` telling where.
// Failures before the swap leave the installed version untouched. A failed
// swap, integration or launch leaves the installed version in app,
// integrated again when the new one's integration had begun, with the error
// that started the rollback; when the rollback itself fails the outcome is
// UpdateRollbackFailed, with app holding a whole version or missing beside a
// whole previous folder, which the next run puts back before it swaps. From
// before a swap's first move until the uninstall entry names what app holds
// again, the swap stays recorded in the apply lock file. The stage is
// deleted on every way out, but for a prepared folder whose version app
// holds after a failure.
[[nodiscard]] Result<std::string> applyPreparedUpdate(const UpdatePlan& plan, const ResolvedUpdatePlan& resolved,
                                                      ParentProcess& parentProcess, ApplyLock& applyLock,
                                                      UpdatePhase& phase, bool& parentExited);

}  // namespace tl
