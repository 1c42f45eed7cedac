#pragma once
// The installation's entry in the Windows list of installed programs:
// HKCU\...\Uninstall\<identifier>.<channel>, written value by value with
// reg.exe in the 64-bit view.
#include <string>
#include <string_view>

#include "common/result.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

// InvalidInstallIdentity unless both parts are valid file names.
[[nodiscard]] Result<std::string> uninstallRegistryKey(std::string_view identifier,
                                                       std::string_view channel);
// Writes the eight values. When a write fails on a key this run created, the
// half-written key is removed again.
[[nodiscard]] Status registerUninstallEntry(const UninstallManifest& manifest, std::string_view appDir,
                                            std::string_view managerPath);
// Removes the whole key; a reg.exe failure is WindowsCommandFailed.
[[nodiscard]] Status deleteRegistryKey(std::string_view identifier, std::string_view channel);
void warnRegistrationCleanupFailed(std::string_view key);

// The version text of Resources\version.json, "0.0.0" (with a warning) when
// it cannot be read or parsed.
std::string installedVersionText(std::string_view appDir);

}  // namespace tl
