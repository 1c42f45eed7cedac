#pragma once
// Before a rejected plan's application folder is started again, the few
// plan fields that name it are checked on their own: the plan as a whole
// failed its check, but the previous version may still be the installed
// one that the plan names.
#include "common/result.h"
#include "update/apply/update_plan.h"

namespace tl {

// Success when app_bundle_path is this installation's app folder: the same
// path rules as the full plan check for channel_root and app_bundle_path
// (InvalidUpdatePath), the identity fields it needs (InvalidUpdatePlan), and
// the errors of installHomeDir, the install layout and readInstalledAppNames.
// Stops at the first failure; nothing is written.
[[nodiscard]] Status verifyRelaunchTarget(const UpdatePlan& plan);

}  // namespace tl
