#pragma once
// The check of an update plan against the installation on disk, before the
// update transaction changes anything: every path in the plan must be
// exactly the one that the installation layout and the transaction id
// imply, written in its normalised form, and reached through no link.
#include <string>
#include <string_view>

#include "common/result.h"
#include "update/apply/update_plan.h"

namespace tl {

// Set as the check gets past them, and kept when it fails later: a rejected
// plan's file may be deleted only when its own path was verified, and a
// result written only when the result path was.
struct PlanCheckProgress {
  bool planPathVerified = false;
  bool resultPathVerified = false;
};

// What the transaction needs of a checked plan.
struct ResolvedUpdatePlan {
  // The installed application's name: the uninstall manifest's when there is
  // one, else the display name in its version.json.
  std::string displayName;
  // The channel root's final component.
  std::string channelFolderName;
  bool hasUninstallManifest = false;
};

// Accepts the plan only when every field is valid and every path is the
// exact one this installation implies, stopping at the first failure:
// InvalidUpdatePlan (a field value, or the schema's payload members),
// InvalidUpdatePath (a path that is not the expected one, not of its kind,
// or reached through a link), InvalidPreparedUpdate (schema 2: the
// prepared-update record does not match the plan), InvalidUpdateIdentity
// (the uninstall manifest names another application), and the errors of
// installHomeDir, the install layout and readInstalledAppNames. `progress`
// records the plan and result paths as they pass. When the app folder is
// missing but its ".previous" folder is there (a swap interrupted between
// its renames), the app folder's checks judge the previous folder instead,
// so that the transaction's swap can put it back. Nothing is written.
// With PreparedStage::mayBeApplied, a schema 2 plan's prepared folder need
// not exist nor the prepared-update record match it (its path is still
// checked for its form): once a swap of its version has happened, the folder
// is empty or gone, and the record may name a later preparation. Only what
// then finds app holding the plan's version may rely on such a check.
enum class PreparedStage : unsigned char { required, mayBeApplied };
[[nodiscard]] Result<ResolvedUpdatePlan> resolveUpdatePlan(const UpdatePlan& plan, std::string_view planPath,
                                                           PlanCheckProgress& progress,
                                                           PreparedStage stage = PreparedStage::required);

// channel_root's name is the channel, the app name, or for stable the app
// name + "-stable", letters folded.
bool channelFolderMatches(std::string_view folderName, std::string_view channel, std::string_view appName);

}  // namespace tl
