#pragma once
// Ties one unpacked application to Windows: uninstall manager, shortcuts,
// uninstall manifest with a fresh install nonce, and the uninstall entry.
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

// Borrowed from the caller for the length of the call.
struct IntegrationIdentity {
  std::string_view identifier;
  std::string_view name;  // display name and shortcut name
  std::string_view channel;
  std::optional<std::string_view> buildHash;  // not used by the integration
  std::optional<std::string_view> installRootName;
};

// The sixteen steps in order; each is recorded with markBootstrapStep before
// it runs, so a failed bootstrap names the step that failed.
enum class IntegrationStep {
  ValidateIdentity,
  ValidateRootIdentity,
  ResolveManagedPaths,
  ValidateAppPath,
  AcquireLock,
  OpenChannelRoot,
  AttestBundledManager,
  ValidateLauncher,
  ResolveShellFolders,
  CreateShellFolders,
  CopyManager,
  RemovePriorShortcuts,
  WriteManifest,
  WriteShortcuts,
  RegisterUninstallEntry,
  Complete,
};

std::string_view integrationStepText(IntegrationStep step);

// The integration's own checks of an application tree, in its order: the
// bundle's manager attested in place (its Resources a real folder), then
// bin\launcher.exe present. appDir must lie, links resolved, at realParent
// joined with its last component. The installer runs them on the unpacked
// tree before it moves anything of the installed application, so that a
// package that could never be integrated does not replace a working one.
[[nodiscard]] Status checkIntegrableTree(std::string_view appDir, std::string_view realParent);
// <appDir>\bin\launcher.exe when it can be reached.
[[nodiscard]] Result<std::string> validateLauncher(std::string_view appDir);

// appDir is <channel root>\app as the caller computed it. Takes the
// installation mutex itself (re-entrant for a caller on the same thread that
// already holds it) and releases it before returning.
[[nodiscard]] Status integrateWindows(std::string_view appDir, const IntegrationIdentity& identity);

}  // namespace tl
