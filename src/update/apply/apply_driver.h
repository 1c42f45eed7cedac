#pragma once
// The --apply-update road from the plan file named on the command line to
// the run's outcome: the plan read and checked, the running copy confirmed,
// the transaction run, the result published and everything the update
// leaves behind cleaned up. runApplyUpdate is its entry.
// Once the plan's own path has passed the check, the run holds the
// installation's apply lock (.tamberlock-apply.lock in the channel root) to
// its end; a helper that finds it held ends with UpdateApplicationBusy and
// touches nothing. A plan whose result file already holds its success ends
// with success, removing only its copy, task and plan.
#include <string>
#include <string_view>

#include "common/result.h"
#include "update/apply/update_plan.h"

namespace tl {

// The whole --apply-update road for the plan file at planPath.
[[nodiscard]] Status runApplyUpdate(std::string_view planPath);

// The plan path must be normalised and absolute (InvalidUpdatePath), name a
// regular file (InvalidUpdatePath; a link is none), and the file opened must
// be a regular file of at most 65536 bytes (InvalidUpdatePlan). The text is
// parsed strictly (parseUpdatePlan's errors). Nothing is written.
[[nodiscard]] Result<UpdatePlan> readUpdatePlanFile(std::string_view planPath);

// After a successful transaction: the result published (a failure warns
// "Warning: Will retry update result publication after cleanup: error.<Name>"
// and is retried once after the clean-up), stale state in self-extraction
// removed, the previous version's folder deleted ("Warning: Could not
// remove previous application after update: error.<Name>"), then the helper
// copy, its task and the plan. The outcome is the retry's error when the
// retry fails too, else success.
[[nodiscard]] Status finishAppliedUpdate(const UpdatePlan& plan, std::string_view planPath,
                                         std::string_view helperPath, std::string_view previousFolder);

}  // namespace tl
