#pragma once
// The PowerShell scripts of the uninstall. Arguments are already quoted for a
// single-quoted literal (quotePowerShellLiteral).
#include <string>
#include <string_view>

namespace tl {

// Exits 2 when a folder or reparse point sits at the shortcut's path, 0
// otherwise (a file that is no shortcut included); deletes nothing.
std::string shortcutPrecheckScript(std::string_view quotedPath);
// Ends every process whose executable lies inside the application folder;
// exits 1 when one of them could not be stopped or the listing failed.
std::string stopProcessesScript(std::string_view quotedAppDir);
// "TamberlockUpdate_" + 24 hex of SHA-256(identifier, 0x00, channel).
std::string updateTaskName(std::string_view identifier, std::string_view channel);

}  // namespace tl
