#include "update/apply/relaunch_target.h"

#include <optional>
#include <string>

#include "common/hex.h"
#include "common/install_layout.h"
#include "common/paths.h"
#include "update/apply/installed_app_names.h"
#include "update/apply/update_plan_check.h"
#include "update/update_paths.h"

namespace tl {

namespace {

Status require(bool ok, Error e) {
  if (!ok) return e;
  return success();
}

// The folder directly above path (InvalidUpdatePath when there is none).
Result<std::string> parentOf(std::string_view path) {
  std::optional<std::string> parent = parentPath(path);
  if (!parent) return Error::InvalidUpdatePath;
  return std::move(*parent);
}

}  // namespace

Status verifyRelaunchTarget(const UpdatePlan& p) {
  TRY(require((p.schema_version == 1 || p.schema_version == 2) && isHexId32(p.transaction_id) &&
                  p.platform == "win" && p.arch == "x64" && p.parent_pid != 0,
              Error::InvalidUpdatePlan));
  const std::string home = TRY(installHomeDir(p.identifier, p.channel));

  TRY(validateUpdatePath(p.channel_root));
  const std::string rootParent = TRY(parentOf(p.channel_root));
  const bool inHome = TRY(pathsEqualIgnoreCase(rootParent, home));
  TRY(require(inHome, Error::InvalidUpdatePath));

  const InstallLayout layout = TRY(resolveInstallLayout(p.channel_root, p.identifier, p.channel));
  const bool isAppFolder = TRY(pathsEqualIgnoreCase(layout.appDir, p.app_bundle_path));
  TRY(require(isAppFolder, Error::InvalidUpdatePath));

  TRY(validateUpdatePath(p.app_bundle_path));
  TRY(requireDirectory(p.app_bundle_path));
  const InstalledAppNames names = TRY(readInstalledAppNames(p.app_bundle_path, p.identifier, p.channel));
  TRY(require(channelFolderMatches(lastComponent(p.channel_root), p.channel, names.name), Error::InvalidUpdatePath));

  const std::string appParent = TRY(parentOf(p.app_bundle_path));
  return requirePathWithin(appParent, p.app_bundle_path, PathKind::directory);
}

}  // namespace tl
