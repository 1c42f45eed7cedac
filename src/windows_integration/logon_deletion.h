#pragma once
// Deleting a file at the user's next logon. A standard user cannot have a
// file removed at the next restart (that needs an administrator), but may
// leave a command in his own RunOnce key, which Windows runs once at the
// next logon and then forgets.
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

inline constexpr std::string_view kRunOnceKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// The command the value holds: "<system>\cmd.exe" /c del /f /q "<target>".
// cmd.exe expands %name% on its command line and nothing escapes it inside
// quotes, so a target holding '%', a double quote or a line break is
// InvalidPath.
[[nodiscard]] Result<std::string> logonDeletionCommand(std::string_view targetPath);

// Writes that command as the REG_SZ value `valueName` of kRunOnceKey
// (64-bit view) with reg.exe add; a reg.exe that fails is
// WindowsCommandFailed.
[[nodiscard]] Status scheduleDeletionAtNextLogon(std::string_view valueName, std::string_view targetPath);

}  // namespace tl
