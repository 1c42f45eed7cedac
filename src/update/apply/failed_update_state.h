#pragma once
// After an update fails while its payload is unpacked or checked, the
// payload itself is suspect: it and the preparation state that produced it
// are deleted, so that the next preparation starts again from scratch.
#include "common/result.h"
#include "update/apply/update_plan.h"
#include "update/apply/update_result.h"

namespace tl {

// Does nothing unless phase is extracting or validatingPayload. Otherwise
// lists the payload source's folder (self-extraction) and deletes, among its
// regular files, those named (byte for byte, H the plan's hash, X any 32
// lowercase hex digits):
//   the payload source's own name; H.tar.previous; H.tar.X.partial;
//   .H.X.tar.zst and .H.X.tar.zst.partial;
//   .tamberlock-prepared-update.json, its ".previous" and its
//   ".tamberlock-prepared-update.json.*.partial" copies, but only when the
//   record in that file matches this plan.
// A file that cannot be deleted gives "Warning: Could not invalidate failed
// update state <name>: error.<Name>" and the walk goes on. Errors: the
// schema rules' InvalidUpdatePlan, InvalidUpdatePath (a source without a
// folder), and those of opening and listing the folder.
[[nodiscard]] Status invalidateFailedUpdateState(const UpdatePlan& plan, UpdatePhase phase);

}  // namespace tl
