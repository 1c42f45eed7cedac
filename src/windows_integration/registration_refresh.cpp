#include "windows_integration/registration_refresh.h"

#include <string>

#include "common/hex.h"
#include "common/install_layout.h"
#include "common/install_mutex.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "windows_integration/cleanup_script.h"
#include "windows_integration/install_root.h"
#include "windows_integration/interrupted_writes.h"
#include "windows_integration/manager_install.h"
#include "windows_integration/registry_entry.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

// The renewed manifest: a fresh nonce, everything else as read.
UninstallManifest refreshedManifest(const UninstallManifest& old, const InstallLayout& layout) {
  UninstallManifest m = old;
  m.schema_version = 1;
  m.install_nonce = newRandomHexId();
  if (!m.install_root_name) m.install_root_name = std::string(lastComponent(layout.channelRoot));
  m.data_path_versions = std::vector<std::uint32_t>{1};
  return m;
}

Status writeAndRegister(const UninstallManifest& m, const InstallLayout& layout) {
  TRY(writeUninstallManifest(layout.manifestPath, m));
  return registerUninstallEntry(m, layout.appDir, layout.uninstallManager);
}

// Puts the previous manifest and entry back; best effort.
void restoreRegistration(const UninstallManifest& old, const InstallLayout& layout) {
  (void)writeUninstallManifest(layout.manifestPath, old);
  (void)registerUninstallEntry(old, layout.appDir, layout.uninstallManager);
}

// "tamberlock-uninstall-refresh-" + 32 of 0-9a-f + ".exe".
bool isRefreshHelperCopyName(std::string_view name) {
  constexpr std::string_view prefix = "tamberlock-uninstall-refresh-";
  constexpr std::string_view suffix = ".exe";
  if (name.size() != prefix.size() + 32 + suffix.size()) return false;
  if (name.substr(0, prefix.size()) != prefix || name.substr(name.size() - suffix.size()) != suffix) return false;
  return isHexId32(name.substr(prefix.size(), 32));
}

bool isPlainAbsolute(std::string_view path) { return isAbsolutePath(path) && !isDriveRelativePath(path); }

Status refreshFromUpdateChecked(std::string_view root, bool& copyDone) {
  InstallLock lock = TRY(acquireInstallMutex(root, platform::kInfinite));
  const std::string manifestPath = joinPath({root, ".tamberlock-uninstall.json"});
  UninstallManifest old = TRY(readUninstallManifest(manifestPath, root));
  InstallLayout layout = TRY(resolveInstallLayout(root, old.identifier, old.channel));
  if (!TRY(pathsEqualIgnoreCase(root, layout.channelRoot))) return Error::InvalidUninstallLocation;
  if (!TRY(pathsEqualIgnoreCase(manifestPath, layout.manifestPath))) return Error::InvalidUninstallLocation;
  fs::Dir rootDir = TRY(openChannelRoot(layout, old.identifier));
  removeInterruptedWrites(rootDir);
  TRY(attestBundledManager(layout));
  Result<fs::FileStat> manager = fs::statAt(rootDir, "uninstall.exe");
  if (manager.ok()) {
    if (manager->kind != fs::FileKind::File) return Error::InvalidUninstallLocation;
  } else if (manager.error() != Error::FileNotFound && manager.error() != Error::NotDir) {
    return manager.error();
  }
  UninstallManifest fresh = refreshedManifest(old, layout);
  copyDone = true;  // from here on the helper copy goes, whatever happens
  TRY(copyFileReplacing(layout.managerSource, layout.uninstallManager));
  Status registered = writeAndRegister(fresh, layout);
  if (!registered.ok()) {
    restoreRegistration(old, layout);
    return registered;
  }
  return success();
}

}  // namespace

Status refreshRegistration() {
  std::string own = TRY(process::ownExecutablePath());
  ManagerInstallRoot where = TRY(installRootFromManagerPath(own, true));
  InstallLock lock = TRY(acquireInstallMutex(where.root, platform::kInfinite));
  const std::string manifestPath = joinPath({where.root, ".tamberlock-uninstall.json"});
  UninstallManifest old = TRY(readUninstallManifest(manifestPath, where.root));
  InstallLayout layout = TRY(resolveInstallLayout(where.root, old.identifier, old.channel));
  const std::string& expectedSelf = where.inAppBundle ? layout.managerSource : layout.uninstallManager;
  if (!TRY(pathsEqualIgnoreCase(own, expectedSelf))) return Error::InvalidUninstallLocation;
  fs::Dir rootDir = TRY(openChannelRoot(layout, old.identifier));
  removeInterruptedWrites(rootDir);
  if (where.inAppBundle) {
    TRY(attestBundledManager(layout));
    TRY(copyFileReplacing(own, layout.uninstallManager));
  } else {
    Result<fs::FileStat> st = fs::statNoFollow(layout.uninstallManager);
    if (!st.ok() || st->kind != fs::FileKind::File) return Error::InvalidUninstallLocation;
  }
  UninstallManifest fresh = refreshedManifest(old, layout);
  Status registered = writeAndRegister(fresh, layout);
  if (!registered.ok()) {
    if (where.inAppBundle) restoreRegistration(old, layout);
    return registered;
  }
  return success();
}

Status refreshRegistrationFromUpdate(std::string_view root) {
  std::string own = TRY(process::ownExecutablePath());
  if (!isPlainAbsolute(own) || !isRefreshHelperCopyName(lastComponent(own))) return Error::InvalidUninstallLocation;
  TRY(requireInTempDir(own));
  if (!isPlainAbsolute(root)) return Error::InvalidUninstallLocation;
  std::string normal = TRY(resolvePath(root));
  if (normal.size() != root.size() || !asciiEqualIgnoreCase(normal, root)) return Error::InvalidUninstallLocation;

  bool copyDone = false;
  Status result = refreshFromUpdateChecked(root, copyDone);
  // The copy is deleted only once the manager copy was attempted: a copy that
  // failed its checks stays for whoever started it to look at.
  if (copyDone) (void)scheduleFileDeletion(own);
  return result;
}

}  // namespace tl
