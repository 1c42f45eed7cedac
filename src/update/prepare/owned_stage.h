#pragma once
// The stage folder of one preparation, deleted only while this run owns it
// (PreparationState::stageOwned): a stage of another run, or a name that
// something else took, is never touched.
#include "common/result.h"
#include "update/prepare/preparation_state.h"

namespace tl {

// Makes way for a new stage, or fails: when the stage is owned it must be a
// folder (else InvalidUpdateStage) and is deleted with its tree, clearing the
// flag. The lookup's and the deletion's errors come back as they are.
[[nodiscard]] Status requireOwnedStageDeleted(PreparationState& state);

// The best-effort clean-up after a run: deletes an owned stage that is a
// folder and clears the flag once it is gone. Never fails; whatever stands in
// the way leaves the flag set.
void tryDeleteOwnedStage(PreparationState& state);

}  // namespace tl
