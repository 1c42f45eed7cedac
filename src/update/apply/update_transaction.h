#pragma once
// Applying a checked update plan: the new version takes the installed one's
// place, and a failure puts the installed version back.
#include <string>

#include "common/result.h"
#include "update/apply/parent_process_wait.h"
#include "update/apply/update_plan.h"
#include "update/apply/update_plan_check.h"
#include "update/apply/update_result.h"

namespace tl {

// The apply driver's entry, run under the apply lock, with the parent
// process opened by the driver. Writes each phase into `phase` as it is
// entered (it stays launching on success, for the driver to set complete)
// and sets parentExited once the parent is known to have ended. Before
// anything is staged (phase still validating), a swap that stopped between
// its renames is put back and the app.update-<id> stages of killed runs are
// deleted (InvalidInterruptedUpdateStage for anything else by such a name).
//
// Returns the previous folder (app + ".previous"), which the driver removes
// after publishing the result. On failure: the error, `phase` telling where.
// Failures before the swap leave the installed version untouched. A failed
// swap, integration or launch leaves the installed version in app,
// integrated again when the new one's integration had begun, with the error
// that started the rollback; when the rollback itself fails the outcome is
// UpdateRollbackFailed, with app holding a whole version or missing beside a
// whole previous folder, which the next run puts back before it swaps. The
// stage is deleted on every way out.
[[nodiscard]] Result<std::string> applyPreparedUpdate(const UpdatePlan& plan, const ResolvedUpdatePlan& resolved,
                                                      ParentProcess& parentProcess, UpdatePhase& phase,
                                                      bool& parentExited);

}  // namespace tl
