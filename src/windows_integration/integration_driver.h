#pragma once
// Ties one unpacked application to Windows: uninstall manager, shortcuts,
// uninstall manifest with a fresh install nonce, and the uninstall entry.
#include <optional>
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

// appDir is <channel root>\app as the caller computed it. Takes the
// installation mutex itself (re-entrant for a caller on the same thread that
// already holds it) and releases it before returning.
[[nodiscard]] Status integrateWindows(std::string_view appDir, const IntegrationIdentity& identity);

}  // namespace tl
