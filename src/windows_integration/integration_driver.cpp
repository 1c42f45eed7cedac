#include "windows_integration/integration_driver.h"

#include <string>

#include "common/diagnostics.h"
#include "common/install_layout.h"
#include "common/install_mutex.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "platform/named_mutex.h"
#include "windows_integration/interrupted_writes.h"
#include "windows_integration/manager_install.h"
#include "windows_integration/registry_entry.h"
#include "windows_integration/shell_shortcuts.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

void mark(IntegrationStep step) { markBootstrapStep(integrationStepText(step)); }

// After a later step failed, neither link may point at a half-integrated
// installation; a link that existed before the run goes too.
void deleteLinks(const std::string& desktopLink, const std::string& startMenuLink) {
  (void)fs::deleteFile(startMenuLink);
  (void)fs::deleteFile(desktopLink);
}

}  // namespace

std::string_view integrationStepText(IntegrationStep step) {
  switch (step) {
    case IntegrationStep::ValidateIdentity: return "windows integration: validate identity";
    case IntegrationStep::ValidateRootIdentity: return "windows integration: validate root identity";
    case IntegrationStep::ResolveManagedPaths: return "windows integration: resolve managed paths";
    case IntegrationStep::ValidateAppPath: return "windows integration: validate app path";
    case IntegrationStep::AcquireLock: return "windows integration: acquire lock";
    case IntegrationStep::OpenChannelRoot: return "windows integration: open channel root";
    case IntegrationStep::AttestBundledManager: return "windows integration: attest bundled manager";
    case IntegrationStep::ValidateLauncher: return "windows integration: validate launcher";
    case IntegrationStep::ResolveShellFolders: return "windows integration: resolve shell folders";
    case IntegrationStep::CreateShellFolders: return "windows integration: create shell folders";
    case IntegrationStep::CopyManager: return "windows integration: copy manager";
    case IntegrationStep::RemovePriorShortcuts: return "windows integration: remove prior shortcuts";
    case IntegrationStep::WriteManifest: return "windows integration: write manifest";
    case IntegrationStep::WriteShortcuts: return "windows integration: write shortcuts";
    case IntegrationStep::RegisterUninstallEntry: return "windows integration: register uninstall entry";
    case IntegrationStep::Complete: return "windows integration: complete";
  }
  return "";
}

Result<std::string> validateLauncher(std::string_view appDir) {
  std::string launcher = joinPath({appDir, "bin", "launcher.exe"});
  TRY(fs::access(launcher));
  return launcher;
}

Status checkIntegrableTree(std::string_view appDir, std::string_view realParent) {
  TRY(attestManagerInBundle(appDir, realParent));
  TRY(validateLauncher(appDir));
  return success();
}

Status integrateWindows(std::string_view appDir, const IntegrationIdentity& identity) {
  mark(IntegrationStep::ValidateIdentity);
  if (!isValidFileName(identity.identifier) || !isKnownChannel(identity.channel) ||
      !isValidAppName(identity.name)) {
    return Error::InvalidInstallIdentity;
  }
  std::optional<std::string> channelRoot = parentPath(appDir);
  if (!channelRoot) return Error::InvalidInstallLocation;

  mark(IntegrationStep::ValidateRootIdentity);
  if (!matchesInstallRootName(*channelRoot, identity.channel, identity.name, identity.installRootName)) {
    return Error::InvalidInstallLocation;
  }

  mark(IntegrationStep::ResolveManagedPaths);
  InstallLayout layout = TRY(resolveInstallLayout(*channelRoot, identity.identifier, identity.channel));

  mark(IntegrationStep::ValidateAppPath);
  bool isLayoutApp = TRY(pathsEqualIgnoreCase(appDir, layout.appDir));
  if (!isLayoutApp) return Error::InvalidInstallLocation;

  // From here on the lock and the channel-root handle are released by their
  // destructors on every way out.
  mark(IntegrationStep::AcquireLock);
  InstallLock lock = TRY(acquireInstallMutex(layout.channelRoot, platform::kInfinite));

  mark(IntegrationStep::OpenChannelRoot);
  fs::Dir rootHandle = TRY(openChannelRoot(layout, identity.identifier));
  // What a killed run left half-written goes while the mutex keeps any other
  // writer out.
  removeInterruptedWrites(rootHandle);

  mark(IntegrationStep::AttestBundledManager);
  TRY(attestBundledManager(layout));

  mark(IntegrationStep::ValidateLauncher);
  std::string launcher = TRY(validateLauncher(appDir));
  std::string workingDir = joinPath({appDir, "bin"});

  mark(IntegrationStep::ResolveShellFolders);
  std::string fileName = shortcutFileName(identity.name, identity.channel);
  std::string desktop = TRY(desktopDir());
  std::string startMenu = TRY(startMenuProgramsDir());

  mark(IntegrationStep::CreateShellFolders);
  TRY(fs::makePath(desktop));
  TRY(fs::makePath(startMenu));
  std::string desktopLink = joinPath({desktop, fileName});
  std::string startMenuLink = joinPath({startMenu, fileName});

  mark(IntegrationStep::CopyManager);
  TRY(copyFileReplacing(layout.managerSource, layout.uninstallManager));

  mark(IntegrationStep::RemovePriorShortcuts);
  ShortcutPlaces places{desktop, startMenu, desktopLink, startMenuLink, launcher};
  if (Status s = removePreviousShortcuts(layout.manifestPath, identity.identifier, identity.channel,
                                         places);
      !s) {
    warnPreviousShortcutRemovalFailed(s.error());
  }
  if (Status s = removeLegacyShortcuts(identity.name, places); !s) {
    warnLegacyShortcutRemovalFailed(s.error());
  }

  mark(IntegrationStep::WriteManifest);
  UninstallManifest manifest;
  manifest.schema_version = 1;
  manifest.install_nonce = newRandomHexId();
  manifest.identifier = std::string(identity.identifier);
  manifest.name = std::string(identity.name);
  manifest.channel = std::string(identity.channel);
  manifest.desktop_shortcut = desktopLink;
  manifest.start_menu_shortcut = startMenuLink;
  manifest.install_root_name = std::string(lastComponent(layout.channelRoot));
  manifest.data_path_versions = std::vector<std::uint32_t>{1};
  TRY(writeUninstallManifest(layout.manifestPath, manifest));

  mark(IntegrationStep::WriteShortcuts);
  Status shortcuts = createShortcut(desktopLink, launcher, workingDir, launcher);
  if (shortcuts) shortcuts = createShortcut(startMenuLink, launcher, workingDir, launcher);
  if (!shortcuts) {
    deleteLinks(desktopLink, startMenuLink);
    return shortcuts.error();
  }

  mark(IntegrationStep::RegisterUninstallEntry);
  if (Status registered = registerUninstallEntry(manifest, appDir, layout.uninstallManager);
      !registered) {
    deleteLinks(desktopLink, startMenuLink);
    return registered.error();
  }

  mark(IntegrationStep::Complete);
  rootHandle.close();
  lock.release();
  return success();
}

}  // namespace tl
