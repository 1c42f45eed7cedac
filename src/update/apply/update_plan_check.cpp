#include "update/apply/update_plan_check.h"

#include <optional>

#include "common/ascii_case.h"
#include "common/hex.h"
#include "common/install_layout.h"
#include "common/paths.h"
#include "common/plain_text.h"
#include "platform/fs.h"
#include "update/apply/installed_app_names.h"
#include "update/update_names.h"
#include "update/update_paths.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

Status require(bool ok, Error e) {
  if (!ok) return e;
  return success();
}

bool fieldsValid(const UpdatePlan& p) {
  return (p.schema_version == 1 || p.schema_version == 2) && isHexId32(p.transaction_id) &&
         isKnownChannel(p.channel) && p.platform == "win" && p.arch == "x64" && isPlainText(p.version, kMaxTextBytes) &&
         isValidBuildHash(p.hash) && p.parent_pid != 0;
}

// The path, written normalised, is folder\name: its final component is name
// byte for byte, the rest may differ in letter case.
Status requireNamedIn(std::string_view path, std::string_view folder, std::string_view name) {
  TRY(validateUpdatePath(path));
  if (lastComponent(path) != name) return Error::InvalidUpdatePath;
  const bool same = TRY(pathsEqualIgnoreCase(path, joinPath({folder, name})));
  return require(same, Error::InvalidUpdatePath);
}

Result<std::string> requireParent(std::string_view path) {
  std::optional<std::string> parent = parentPath(path);
  if (!parent) return Error::InvalidUpdatePath;
  return std::move(*parent);
}

Status checkChannelRoot(const UpdatePlan& p, std::string_view home) {
  TRY(validateUpdatePath(p.channel_root));
  const std::string parent = TRY(requireParent(p.channel_root));
  const bool inHome = TRY(pathsEqualIgnoreCase(parent, home));
  return require(inHome && isValidFileName(lastComponent(p.channel_root)), Error::InvalidUpdatePath);
}

Status checkPlanPath(const UpdatePlan& p, std::string_view planPath) {
  const std::string name = TRY(transactionFileName(p.transaction_id));
  TRY(requireNamedIn(planPath, p.channel_root, name));
  return requirePathWithin(p.channel_root, planPath, PathKind::regularFile);
}

// The result need not exist yet; when it does, it is a file of its own.
Status checkResultPath(const UpdatePlan& p) {
  const std::string name = TRY(transactionResultFileName(p.transaction_id));
  TRY(requireNamedIn(p.result_path, p.channel_root, name));
  const Result<fs::FileStat> st = fs::statNoFollow(p.result_path);
  if (!st) return st.error() == Error::FileNotFound ? success() : st.error();
  return requirePathWithin(p.channel_root, p.result_path, PathKind::regularFile);
}

Status checkPreparedStage(const UpdatePlan& p, std::string_view selfExtraction, PreparedStage stage) {
  const std::string& staging = *p.staging_path;
  TRY(validateUpdatePath(staging));
  const bool named = TRY(pathsEqualIgnoreCase(staging, preparedDirName(p.app_bundle_path, p.hash)));
  TRY(require(named, Error::InvalidUpdatePath));
  if (stage == PreparedStage::mayBeApplied) return success();
  const std::string appParent = TRY(requireParent(p.app_bundle_path));
  TRY(requirePathWithin(appParent, staging, PathKind::directory));
  return require(preparedUpdateMatches(selfExtraction, kPreparedUpdateFileName, preparedUpdateExpectation(p)),
                 Error::InvalidPreparedUpdate);
}

// The folder that holds the installed version: the app folder, or, when a
// swap stopped between its two renames, the previous folder beside it,
// which the transaction renames back before it swaps.
std::string installedFolder(const std::string& appFolder) {
  const Result<fs::FileStat> st = fs::statNoFollow(appFolder);
  if (st || st.error() != Error::FileNotFound) return appFolder;
  const std::optional<std::string> parent = parentPath(appFolder);
  std::string previous = previousPath(appFolder);
  if (parent && requirePathWithin(*parent, previous, PathKind::directory)) return previous;
  return appFolder;
}

}  // namespace

Result<ResolvedUpdatePlan> resolveUpdatePlan(const UpdatePlan& p, std::string_view planPath,
                                             PlanCheckProgress& progress, PreparedStage stage) {
  TRY(require(fieldsValid(p), Error::InvalidUpdatePlan));
  const std::string home = TRY(installHomeDir(p.identifier, p.channel));
  TRY(checkChannelRoot(p, home));
  TRY(checkPlanPath(p, planPath));
  progress.planPathVerified = true;
  TRY(checkResultPath(p));
  progress.resultPathVerified = true;

  const std::string selfExtraction = joinPath({p.channel_root, "self-extraction"});
  const std::string payloadName = concatStrings(p.hash, p.schema_version == 1 ? ".tar" : ".recipe.json");
  const std::string_view source = TRY(planPayloadSource(p));
  TRY(requireNamedIn(source, selfExtraction, payloadName));
  if (p.schema_version == 2) TRY(checkPreparedStage(p, selfExtraction, stage));

  const InstallLayout layout = TRY(resolveInstallLayout(p.channel_root, p.identifier, p.channel));
  const bool isAppFolder = TRY(pathsEqualIgnoreCase(p.app_bundle_path, layout.appDir));
  TRY(require(isAppFolder, Error::InvalidUpdatePath));
  const std::string installed = installedFolder(p.app_bundle_path);

  ResolvedUpdatePlan resolved;
  Result<UninstallManifest> manifest = readUninstallManifest(layout.manifestPath, layout.channelRoot);
  if (manifest) {
    TRY(require(manifest->identifier == p.identifier && manifest->channel == p.channel,
                Error::InvalidUpdateIdentity));
    resolved.displayName = std::move(manifest->name);
    resolved.hasUninstallManifest = true;
  } else if (manifest.error() == Error::FileNotFound) {
    resolved.displayName = TRY(appDisplayName(installed, p.identifier, p.channel));
  } else {
    return manifest.error();
  }

  const InstalledAppNames names = TRY(readInstalledAppNames(installed, p.identifier, p.channel));
  TRY(require(channelFolderMatches(lastComponent(p.channel_root), p.channel, names.name), Error::InvalidUpdatePath));
  TRY(requirePathWithin(p.channel_root, selfExtraction, PathKind::directory));
  TRY(requirePathWithin(selfExtraction, source, PathKind::regularFile));

  TRY(validateUpdatePath(p.app_bundle_path));
  TRY(requireDirectory(installed));
  const std::string appParent = TRY(requireParent(p.app_bundle_path));
  TRY(requirePathWithin(appParent, installed, PathKind::directory));

  resolved.channelFolderName = std::string(lastComponent(p.channel_root));
  return resolved;
}

bool channelFolderMatches(std::string_view folderName, std::string_view channel, std::string_view appName) {
  if (asciiEqualIgnoreCase(folderName, channel) || asciiEqualIgnoreCase(folderName, appName)) return true;
  return channel == "stable" && asciiEqualIgnoreCase(folderName, concatStrings(appName, "-stable"));
}

}  // namespace tl
