#include "uninstall/cleanup_copy.h"

#include <optional>
#include <string>

#include "common/hex.h"
#include "common/install_layout.h"
#include "common/install_mutex.h"
#include "common/paths.h"
#include "common/regular_file_at.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "common/retrying_delete.h"
#include "uninstall/uninstaller_copy.h"
#include "windows_integration/cleanup_script.h"
#include "windows_integration/manager_install.h"
#include "windows_integration/registry_entry.h"
#include "windows_integration/tool_runner.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

// reg.exe fails to delete a key that is already gone (removed outside the
// system, or lost in a rollback whose registration failed). Counting that as
// a failure would keep every later clean-up from finishing, so an absent key
// counts as deleted.
Status deleteRegistryKeyOrAbsent(std::string_view identifier, std::string_view channel) {
  Status deleted = deleteRegistryKey(identifier, channel);
  if (deleted.ok()) return deleted;
  Result<std::string> key = uninstallRegistryKey(identifier, channel);
  Result<std::string> reg = systemToolPath("reg.exe");
  if (!key.ok() || !reg.ok()) return deleted;
  // reg.exe query ends with 1 both for a missing key and for one this user
  // may not read (access denied); nothing here tells the two apart. Both
  // count as absent: a key under the user's own HKCU that they may neither
  // delete nor read cannot be removed by a later run either, so holding the
  // clean-up back for it would only leave the files behind too; at worst a
  // stale entry stays.
  Result<QuietRunResult> query = runCommandQuietly({*reg, "query", *key, "/reg:64"});
  if (query.ok() && !query->succeeded) return success();
  return deleted;
}

// Puts the registration back after a failed deletion, so that the
// installation can still be uninstalled again.
void restoreUninstallRegistration(std::string_view own, const fs::Dir& identifierDir, const InstallLayout& layout,
                                  const UninstallManifest& manifest) {
  std::string_view channelName = lastComponent(layout.channelRoot);
  [&] {
    Status made = fs::makeDirAt(identifierDir, channelName);
    if (!made.ok() && made.error() != Error::PathAlreadyExists) return;
    Result<fs::Dir> channelDir = fs::openDirAt(identifierDir, channelName);
    if (!channelDir.ok()) return;
    if (!copyFileReplacing(own, layout.uninstallManager).ok()) return;
    if (!writeUninstallManifest(layout.manifestPath, manifest).ok()) return;
    (void)registerUninstallEntry(manifest, layout.appDir, layout.uninstallManager);
  }();
  (void)registerUninstallEntry(manifest, layout.appDir, layout.uninstallManager);
}

Status cleanUp(std::string_view own, std::string_view managerPath, std::string_view manifestPath,
               std::string_view nonce, bool deleteData) {
  std::optional<std::string> root = parentPath(managerPath);
  if (!root) return Error::InvalidUninstallLocation;
  InstallLock lock = TRY(acquireInstallMutex(*root, platform::kInfinite));
  UninstallManifest manifest = TRY(readUninstallManifest(manifestPath, *root));
  InstallLayout layout = TRY(resolveInstallLayout(*root, manifest.identifier, manifest.channel));
  std::string_view channelName = lastComponent(layout.channelRoot);
  if (!TRY(pathsEqualIgnoreCase(managerPath, layout.uninstallManager))) return Error::InvalidUninstallLocation;
  if (!TRY(pathsEqualIgnoreCase(manifestPath, layout.manifestPath))) return Error::InvalidUninstallLocation;

  // A registration refresh or a new integration since the uninstall began
  // wrote a new nonce: this installation is no longer the one to remove.
  if (!isHex32AnyCase(manifest.install_nonce) || !isHex32AnyCase(nonce) || manifest.install_nonce != nonce) {
    return success();
  }

  fs::Dir identifierDir = TRY(openManagedSubdir(layout.localAppData, manifest.identifier));
  // The folder checked here is the one the files are deleted from: opening it
  // again after the registry entry is gone could fail (or find another
  // folder) with nothing left to roll back from.
  fs::Dir channelDir = TRY(fs::openDirAt(identifierDir, channelName));
  TRY(openRegularFileAt(channelDir, "uninstall.exe", Error::InvalidUninstallLocation));
  TRY(openRegularFileAt(channelDir, ".tamberlock-uninstall.json", Error::InvalidUninstallManifest));
  if (deleteData) channelDir.close();

  TRY(deleteRegistryKeyOrAbsent(manifest.identifier, manifest.channel));

  if (deleteData) {
    Status removed = deleteTreeWithRetries(identifierDir, channelName);
    if (!removed.ok()) {
      restoreUninstallRegistration(own, identifierDir, layout, manifest);
      return removed;
    }
  } else {
    for (std::string_view name : {std::string_view("uninstall.exe"), std::string_view(".tamberlock-uninstall.json")}) {
      Status removed = deleteFileWithRetries(channelDir, name);
      if (!removed.ok()) {
        restoreUninstallRegistration(own, identifierDir, layout, manifest);
        return removed;
      }
    }
    channelDir.close();
    // A channel folder that still holds user data stays.
    (void)fs::deleteDirAt(identifierDir, channelName);
  }
  identifierDir.close();
  (void)fs::deleteDir(layout.identifierDir);
  return success();
}

}  // namespace

Status cleanupUninstaller(std::string_view managerPath, std::string_view manifestPath, std::string_view nonce,
                          bool deleteData) {
  std::string own = TRY(process::ownExecutablePath());
  if (!isHex32AnyCase(nonce)) return Error::InvalidArguments;
  if (!isUninstallerCopyName(lastComponent(own))) return Error::InvalidUninstallLocation;
  TRY(requireInTempDir(own));
  // From here on the copy always has itself deleted, whatever the outcome.
  Status result = cleanUp(own, managerPath, manifestPath, nonce, deleteData);
  (void)scheduleFileDeletion(own);
  return result;
}

}  // namespace tl
