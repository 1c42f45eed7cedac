#pragma once
// The desktop and Start-menu shortcuts of an installation: where the two
// shell folders are, what the shortcut file is called, and creating and
// removing shortcuts through WScript.Shell in PowerShell.
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

// The name plus " (Canary)", " (Development)", nothing for stable, or
// " (<channel>)" for any other channel text.
std::string channelDisplayName(std::string_view name, std::string_view channel);
// The display name made file-safe, then ".lnk".
std::string shortcutFileName(std::string_view name, std::string_view channel);

// [Environment]::GetFolderPath for the special folder, through PowerShell.
// KnownFolderLookupFailed when the run fails or the answer is not absolute.
[[nodiscard]] Result<std::string> queryShellFolder(std::string_view specialFolder);
// The shell folders, falling back to the environment when PowerShell cannot
// tell.
[[nodiscard]] Result<std::string> desktopDir();
[[nodiscard]] Result<std::string> startMenuProgramsDir();

// Creates (or rewrites) a shortcut with a normal window and the icon of
// iconLocation.
[[nodiscard]] Status createShortcut(std::string_view linkPath, std::string_view targetPath,
                                    std::string_view workingDirectory, std::string_view iconLocation);
// Deletes the shortcut only when its target is the expected path; success
// does not mean that a file was removed.
[[nodiscard]] Status removeShortcutIfTargetMatches(std::string_view linkPath,
                                                   std::string_view expectedTarget);

// The folders and paths a clean-up works with; borrowed for the call.
struct ShortcutPlaces {
  std::string_view desktopDir;
  std::string_view startMenuDir;
  std::string_view newDesktopLink;
  std::string_view newStartMenuLink;
  std::string_view launcherPath;
};

// Removes the shortcuts that the previous integration recorded in its
// manifest, when they lie under another name in the current folders and
// still point at the launcher.
[[nodiscard]] Status removePreviousShortcuts(std::string_view manifestPath, std::string_view identifier,
                                             std::string_view channel, const ShortcutPlaces& places);
// Removes shortcuts named without a channel suffix that point at the launcher.
[[nodiscard]] Status removeLegacyShortcuts(std::string_view name, const ShortcutPlaces& places);

void warnPreviousShortcutRemovalFailed(Error e);
void warnLegacyShortcutRemovalFailed(Error e);

}  // namespace tl
