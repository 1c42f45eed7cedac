#pragma once
// After a successful update, self-extraction still holds what earlier
// preparations and updates left: other archives and recipes, downloads,
// partial files and the prepared-update record. Only the payload that was
// just applied is kept.
#include "update/apply/update_plan.h"

namespace tl {

// Deletes every regular file of the payload source's folder
// (self-extraction), other than the payload source itself, named as stale
// update state (isStaleUpdateStateName) and not as the temporary of an atomic
// write, which a running preparation may own. Everything else stays. Never fails:
// an entry that is not a file, a failed delete, and a folder that cannot be
// found, opened or listed are warned about.
void cleanStaleCommittedUpdateState(const UpdatePlan& plan);

}  // namespace tl
