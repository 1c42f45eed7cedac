#include "common/install_layout.h"

#include "common/ascii_case.h"
#include "common/atomic_write.h"
#include "common/paths.h"
#include "platform/env.h"
#include "platform/fs.h"

namespace tl {

bool isUpdateLeftoverName(std::string_view name) {
  const std::string folded = asciiLower(name);
  const std::string_view n = folded;
  if (n == kPrepareLockFileName || n == kApplyLockFileName) return true;
  for (std::string_view prefix : {kPrepareRequestPrefix, kUpdateFilePrefix}) {
    if (n.size() >= prefix.size() + kUpdateFileSuffix.size() && n.starts_with(prefix) &&
        n.ends_with(kUpdateFileSuffix)) {
      return true;
    }
  }
  if (!n.starts_with(kAppDirName)) return false;
  const std::string_view rest = n.substr(kAppDirName.size());
  return rest == kPreviousAppSuffix || rest.starts_with(kPreparedDirInfix) || rest.starts_with(kPrepareStageInfix) ||
         rest.starts_with(kUpdateStageInfix);
}

bool isInterruptedWriteName(std::string_view name) {
  return isCopyTemporaryNameOf(name, kUninstallManagerFileName) ||
         isAtomicTemporaryNameOf(name, kUninstallManifestFileName);
}

Result<std::string> getEnvVarOwned(std::string_view name) {
  std::optional<std::string> v = env::get(name);
  if (!v) return Error::EnvironmentVariableNotFound;
  return std::move(*v);
}

Result<std::string> localAppDataRoot() {
  if (auto v = env::get("LOCALAPPDATA")) return std::move(*v);
  std::string profile = TRY(getEnvVarOwned("USERPROFILE"));
  return joinPath({profile, "AppData", "Local"});
}

Result<std::string> tempDir() {
  if (auto v = env::get("TEMP")) return std::move(*v);
  if (auto v = env::get("TMP")) return std::move(*v);
  std::string local = TRY(localAppDataRoot());
  return joinPath({local, "Temp"});
}

Result<std::string> checkResolvedDirectory(std::string_view path, std::optional<std::string_view> expected) {
  fs::FileStat st = TRY(fs::statNoFollow(path));
  if (st.kind != fs::FileKind::Directory) return Error::InvalidUninstallLocation;
  std::string real = TRY(fs::realPath(path));
  if (expected) {
    bool same = TRY(pathsEqualIgnoreCase(real, *expected));
    if (!same) return Error::InvalidUninstallLocation;
  }
  return real;
}

Status requireInTempDir(std::string_view path) {
  if (!isAbsolutePath(path)) return Error::InvalidUninstallLocation;
  Result<fs::FileStat> st = fs::statNoFollow(path);
  if (!st.ok() || st->kind != fs::FileKind::File) return Error::InvalidUninstallLocation;
  std::string temp = TRY(tempDir());
  temp = TRY(resolvePath(temp));
  std::string file = TRY(resolvePath(path));
  std::optional<std::string> parent = parentPath(file);
  if (!parent || !asciiEqualIgnoreCase(*parent, temp)) return Error::InvalidUninstallLocation;
  std::string realTemp = TRY(checkResolvedDirectory(temp, std::nullopt));
  std::string realFile = TRY(fs::realPath(file));
  bool same = TRY(pathsEqualIgnoreCase(realFile, joinPath({realTemp, lastComponent(file)})));
  if (!same) return Error::InvalidUninstallLocation;
  return success();
}

Result<InstallLayout> resolveInstallLayout(std::string_view channelRoot, std::string_view identifier,
                                           std::string_view channel) {
  if (!isAbsolutePath(channelRoot) || !isValidFileName(identifier) || !isValidFileName(channel)) {
    return Error::InvalidUninstallLocation;
  }
  std::string local = TRY(localAppDataRoot());
  local = TRY(resolvePath(local));
  if (!isAbsolutePath(local) || local == "\\") return Error::InvalidUninstallLocation;
  std::string identifierDir = joinPath({local, identifier});

  std::string root = TRY(resolvePath(channelRoot));
  std::optional<std::string> parent = parentPath(root);
  if (!parent) return Error::InvalidUninstallLocation;
  bool parentMatches = TRY(pathsEqualIgnoreCase(*parent, identifierDir));
  std::string_view rootName = lastComponent(root);
  if (!parentMatches || !isValidFileName(rootName)) return Error::InvalidUninstallLocation;

  // The identifier folder and the channel root must be real folders in their
  // expected places, not links; the local folder may lie behind links.
  std::string realLocal = TRY(checkResolvedDirectory(local, std::nullopt));
  std::string realIdentifier =
      TRY(checkResolvedDirectory(identifierDir, std::string_view(joinPath({realLocal, identifier}))));
  (void)TRY(checkResolvedDirectory(root, std::string_view(joinPath({realIdentifier, rootName}))));

  InstallLayout l;
  l.localAppData = local;
  l.identifierDir = identifierDir;
  l.channelRoot = root;
  l.appDir = joinPath({root, kAppDirName});
  l.selfExtractionDir = joinPath({root, "self-extraction"});
  l.updateScript = joinPath({root, "update.bat"});
  l.uninstallManager = joinPath({root, kUninstallManagerFileName});
  l.manifestPath = joinPath({root, kUninstallManifestFileName});
  l.managerSource = joinPath({l.appDir, "Resources", "uninstall"});
  return l;
}

}  // namespace tl
