#pragma once
// After a successful update, self-extraction still holds what earlier
// preparations and updates left: other archives and recipes, downloads,
// partial files and the prepared-update record. Only the payload that was
// just applied is kept.
#include "update/apply/update_plan.h"

namespace tl {

// Lists the payload source's folder (self-extraction) and deletes every
// regular file, other than the payload source itself, named
// ".tamberlock-prepared-update.json" or ".tamberlock-prepared-update.json.*",
// or ending in ".tar", ".recipe.json", ".tar.previous", ".tar.zst" or
// ".partial". Everything else stays. Writes warnings only:
//   Warning: Could not remove stale update state <name>: error.<Name>
//   Warning: Refusing to remove non-file update state: <name>
//   Warning: Could not clean stale committed update state: error.<Name>
// (the last when the folder cannot be found, opened or listed).
void cleanStaleCommittedUpdateState(const UpdatePlan& plan);

// Whether a name in self-extraction is state that a committed update
// leaves stale (the payload source's own name aside).
bool isStaleUpdateStateName(std::string_view name);

}  // namespace tl
