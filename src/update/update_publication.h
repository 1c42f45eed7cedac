#pragma once
// The end of a preparation: the staged version checked, its recipe stored,
// the stage moved to its prepared name and the prepared-update record
// written; or, when that version was prepared before, the prepared folder
// checked again and its record written anew, with nothing downloaded.
#include "common/result.h"
#include "update/preparation_state.h"

namespace tl {

// Publishes what a road staged: the stage checked against the recipe tree
// and all (verifyPreparedApp, checkStagedIdentity), the recipe written as
// <hash>.recipe.json, the stage renamed (never over anything) to its
// prepared name, clearing stageOwned, and the record written. When the
// record cannot be built or written, the prepared folder is deleted again.
// Stale cached archives (all but the installed version's) are removed
// after; a failure there is only reported on standard error.
[[nodiscard]] Status publishStagedUpdate(PreparationState& state, const StagedUpdate& staged);

// Reuses the requested version's prepared folder: its recipe (any read
// error, FileNotFound included, ends the run); a record of schema 2 must be
// of the requested hash with a well-formed digest (InvalidPreparedUpdate)
// that is the recipe's (PreparedRecipeHashMismatch); the folder passes the
// whole-tree check and the request's identity checks. Then the record is
// written afresh and stale archives are removed as after publishing.
// Nothing is moved, and a failure leaves the prepared folder in place.
[[nodiscard]] Status reusePreparedVersion(PreparationState& state);

}  // namespace tl
