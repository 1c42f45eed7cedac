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

// Runs the checks in this order and stops at the first that fails:
//  1. field values: schema 1 or 2, 32-hex transaction id, known channel,
//     platform "win", arch "x64", version 1-256 bytes without control
//     bytes, build hash, parent_pid not 0 (InvalidUpdatePlan);
//  2. the identifier's home folder (installHomeDir);
//  3. channel_root directly in it, a valid file name (InvalidUpdatePath);
//  4. planPath is channel_root\.tamberlock-update-<id>.json, the name exact
//     and the file regular and directly there (InvalidUpdatePath); then
//     planPathVerified;
//  5. result_path is channel_root\.tamberlock-update-<id>.result.json,
//     absent or a regular file directly there (InvalidUpdatePath); then
//     resultPathVerified;
//  6-8. the payload source of the schema rules (InvalidUpdatePlan) is
//     self-extraction\<hash>.tar or self-extraction\<hash>.recipe.json
//     (InvalidUpdatePath);
//  9. schema 2: staging_path is app_bundle_path.prepared-<hash>, a folder
//     beside the app folder (InvalidUpdatePath), and the prepared-update
//     record matches the plan (InvalidPreparedUpdate);
// 10. the install layout of channel_root (its error) has app_bundle_path as
//     its app folder (InvalidUpdatePath);
// 11. the uninstall manifest, when there is one, names the plan's identifier
//     and channel (InvalidUpdateIdentity; its read errors pass);
// 12. the installed version.json (readInstalledAppNames);
// 13. channel_root's name is the channel, the app name, or for stable the
//     app name + "-stable", letters folded (InvalidUpdatePath);
// 14. self-extraction and the payload source lie directly in their folders
//     (InvalidUpdatePath);
// 15. app_bundle_path is a folder directly in its parent (InvalidUpdatePath).
// When the app folder is missing but its ".previous" folder is there (a swap
// interrupted between its renames), steps 11, 12 and 15 judge the previous
// folder instead, so that the transaction's swap can put it back.
[[nodiscard]] Result<ResolvedUpdatePlan> resolveUpdatePlan(const UpdatePlan& plan, std::string_view planPath,
                                                           PlanCheckProgress& progress);

// The channel folder rule of step 13.
bool channelFolderMatches(std::string_view folderName, std::string_view channel, std::string_view appName);

}  // namespace tl
