#pragma once
// The end of a preparation: the staged version checked, its recipe stored,
// the stage moved to its prepared name and the prepared-update record
// written; or, when that version was prepared before, the prepared folder
// checked again and its record written anew, with nothing downloaded.
#include "common/result.h"
#include "update/prepare/preparation_state.h"

namespace tl {

// Publishes what a road staged: the stage checked against the recipe tree
// and all (verifyPreparedApp, checkStagedIdentity), the recipe written as
// <hash>.recipe.json, the stage renamed (never over anything) to its
// prepared name, clearing stageOwned, and the record written. When the
// record cannot be built or written, the prepared folder is deleted again.
// Stale cached archives (all but the installed version's) are removed
// after; a failure there is only reported on standard error.
[[nodiscard]] Status publishStagedUpdate(PreparationState& state, const StagedUpdate& staged);

// Reuses the requested version's prepared folder: its recipe; a record of
// schema 2 must be of the requested hash with a well-formed digest that is
// the recipe's; the folder passes the whole-tree check and the request's
// identity checks. Then the record is written afresh and stale archives are
// removed as after publishing (true), nothing moved. When any of the checks
// fails (but for OutOfMemory), that version is removed as a superseded one
// is, to be prepared afresh (false).
[[nodiscard]] Result<bool> reusePreparedVersion(PreparationState& state);

}  // namespace tl
