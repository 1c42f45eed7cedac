#pragma once
// Applying a checked update plan: the new version is staged and checked
// beside the installation, the application's process is waited for, and
// under the installation mutex the installed version is moved aside to
// "app.previous", the new one renamed into "app", integrated with the shell
// and started without a window. A failure of the swap, the integration or
// the launch puts the installed version back.
#include <string>

#include "common/result.h"
#include "update/apply/parent_process_wait.h"
#include "update/apply/update_plan.h"
#include "update/apply/update_plan_check.h"
#include "update/apply/update_result.h"

namespace tl {

// The apply driver's entry, run under the apply lock. Before anything is
// staged (phase still validating) a swap that stopped between its renames
// is put back (app missing, app.previous a folder: renamed back with the
// swap's retries) and the app.update-<id> stages of killed runs are
// deleted (InvalidInterruptedUpdateStage for anything else by such a name).
// The parent is waited for through `parentProcess`, opened by the driver
// before this runs. Writes each phase into `phase` as it is entered
// (extracting, validatingPayload, waitingForParent, swapping, integrating,
// launching; it stays launching on success, for the driver to set complete)
// and sets parentExited once the parent process is known to have ended.
//
// Returns the previous folder (app + ".previous"), which the driver removes
// after publishing the result. On failure: the error; `phase` tells where.
// Failures before the swap leave the installation untouched. A failed
// swap, integration or launch is rolled back: the new version is moved back
// into the stage, the previous folder renamed to app, and after a failed
// integration or launch the restored version integrated again (a failure of
// that only warns); the error stays the one that started the rollback. When
// the rollback itself fails the outcome is UpdateRollbackFailed, with app
// holding a whole version or missing beside a whole previous folder; the
// next run's swap puts that back before it swaps. The stage is deleted on
// every way out.
//
// Lines on standard error:
//   ERROR: Update rollback failed after {swap|integration|launch} error: error.<Name>
//   Warning: Could not restore previous uninstall integration: error.<Name>
// and the retained tar unpacker's lines.
[[nodiscard]] Result<std::string> applyPreparedUpdate(const UpdatePlan& plan, const ResolvedUpdatePlan& resolved,
                                                      ParentProcess& parentProcess, UpdatePhase& phase,
                                                      bool& parentExited);

}  // namespace tl
