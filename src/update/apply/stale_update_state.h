#pragma once
// After a successful update, self-extraction still holds what earlier
// preparations and updates left: other archives and recipes, downloads,
// partial files and the prepared-update record. Only the payload that was
// just applied is kept.
#include "update/apply/update_plan.h"

namespace tl {

// Under the preparation's lock (a running preparation makes it
// UpdatePreparationBusy, warned about below, and nothing is deleted): deletes
// every regular file of the payload source's folder (self-extraction), other
// than the payload source itself, named as stale update state
// (isStaleUpdateStateName). A record of another version whose prepared folder stands beside app keeps
// itself and that version's recipe. Everything else stays. Never fails: an
// entry that is not a file, a failed delete, and a folder or lock that
// cannot be found, opened, listed or taken are warned about.
void cleanStaleCommittedUpdateState(const UpdatePlan& plan);

}  // namespace tl
