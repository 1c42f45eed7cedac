#pragma once
// Before a rejected plan's application folder is started again, the few
// plan fields that name it are checked on their own: the plan as a whole
// failed its check, but the previous version may still be the installed
// one that the plan names.
#include "common/result.h"
#include "update/apply/update_plan.h"

namespace tl {

// Stops at the first rule that fails:
//  schema 1 or 2, a 32-hex transaction id, platform "win", arch "x64",
//  parent_pid not 0 (InvalidUpdatePlan);
//  the identifier's home folder (installHomeDir's error);
//  channel_root a normalised path directly in it (InvalidUpdatePath);
//  the install layout of channel_root (its error), whose app folder is
//  app_bundle_path (InvalidUpdatePath);
//  app_bundle_path normalised and a folder (InvalidUpdatePath);
//  its version.json (readInstalledAppNames' error);
//  channel_root's name by the channel folder rule (InvalidUpdatePath);
//  app_bundle_path a folder directly in its parent, reached through no
//  link (InvalidUpdatePath).
[[nodiscard]] Status verifyRelaunchTarget(const UpdatePlan& plan);

}  // namespace tl
