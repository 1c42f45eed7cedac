#pragma once
// The end of a preparation: the staged version checked, its recipe stored,
// the stage moved to its prepared name and the prepared-update record
// written; or, when that version was prepared before, the prepared folder
// checked again and its record written anew, with nothing downloaded.
#include "common/result.h"
#include "update/prepare/preparation_state.h"

namespace tl {

// Publishes what a road staged: checked (verifyPreparedApp,
// checkStagedIdentity), its recipe stored as <hash>.recipe.json, the stage
// moved to its prepared name (never over anything; stageOwned cleared) and
// the record written. On a failure after the move the prepared folder is
// deleted again. Stale cached archives are removed after; failing that is
// only a warning.
[[nodiscard]] Status publishStagedUpdate(PreparationState& state, const StagedUpdate& staged);

// true when the requested version's prepared folder passes the whole-tree
// and identity checks and its recipe and any schema-2 record vouch for it:
// the record is then written afresh and stale archives removed, nothing
// moved. false when a check fails (OutOfMemory aside, which is returned):
// that version has been removed (removePreparedVersion, whose errors pass)
// to be prepared afresh.
[[nodiscard]] Result<bool> reusePreparedVersion(PreparationState& state);

}  // namespace tl
