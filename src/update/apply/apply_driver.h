#pragma once
// The --apply-update road, from the plan file named on the command line to
// the run's outcome. runApplyUpdate is its entry.
#include <string>
#include <string_view>

#include "common/result.h"
#include "update/apply/update_plan.h"

namespace tl {

// The whole --apply-update road for the plan file at planPath. Once the
// plan's own path has passed the check, the run holds its transaction's
// lock to its end: finding it held by another helper of the transaction is
// UpdateApplicationBusy, with nothing touched. A plan whose result file
// already records its success then ends with success, removing only its
// helper copy, task and plan. A helper of another transaction holding the
// installation's apply lock turns the plan away: UpdateApplicationBusy, its
// own result, plan, task and copy handled as a rejected plan's, nothing of
// the other's touched and nothing relaunched. A schema 2 plan whose version
// app already holds passes the check without its prepared folder.
[[nodiscard]] Status runApplyUpdate(std::string_view planPath);

// The plan path must be normalised and absolute (InvalidUpdatePath), name a
// regular file (InvalidUpdatePath; a link is none), and the file opened must
// be a regular file of at most 65536 bytes (InvalidUpdatePlan). The text is
// parsed strictly (parseUpdatePlan's errors). Nothing is written.
[[nodiscard]] Result<UpdatePlan> readUpdatePlanFile(std::string_view planPath);

// After a successful transaction: publishes the result and clears what the
// update leaves behind (stale self-extraction state, the previous folder,
// the helper copy, its task and the plan). Only the result counts: a failed
// publication is retried once after the clean-up, and the retry's error is
// the outcome; every other failure is a warning.
[[nodiscard]] Status finishAppliedUpdate(const UpdatePlan& plan, std::string_view planPath,
                                         std::string_view helperPath, std::string_view previousFolder);

}  // namespace tl
