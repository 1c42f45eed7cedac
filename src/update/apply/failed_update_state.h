#pragma once
// After an update fails while its payload is unpacked or checked, the
// payload itself is suspect: it and the preparation state that produced it
// are deleted, so that the next preparation starts again from scratch.
#include "common/result.h"
#include "update/apply/update_plan.h"
#include "update/apply/update_result.h"

namespace tl {

// Does nothing unless phase is extracting or validatingPayload, nor when app
// holds the plan's build (its version.json names it). Otherwise
// deletes, among the regular files of the payload source's folder
// (self-extraction), the payload source itself, the payload state of the
// plan's hash (isPayloadStateName), and the prepared record and its copies
// (isPreparedRecordName) whose record matches this plan. A file that cannot
// be deleted is warned about and the walk goes on. Errors: the schema rules'
// InvalidUpdatePlan, InvalidUpdatePath (a source without a folder), and
// those of opening and listing the folder.
[[nodiscard]] Status invalidateFailedUpdateState(const UpdatePlan& plan, UpdatePhase phase);

}  // namespace tl
