#pragma once
// What an update helper copy leaves behind once its run is over: its own
// executable in the temporary folder and the scheduled task
// ApplicationUpdate_<transaction id> that started it. Both are removed
// without waiting and without changing the run's outcome.
#include <string_view>

namespace tl {

inline constexpr std::string_view kUpdateTaskPrefix = "ApplicationUpdate_";
// Hands the copy (tamberlock-update-<id>.exe) to the self-deleting clean-up
// script; when that cannot start, a RunOnce value
// TamberlockUpdateCleanup_<id> deletes it at the user's next logon. Each
// failure is a warning; the copy may then stay.
void scheduleHelperCleanup(std::string_view helperPath);

// Starts schtasks.exe /Delete /TN ApplicationUpdate_<id> /F without a window
// and does not wait for it. Nothing happens for an id that is not 32
// lowercase hex digits or when the system directory is unknown; nothing is
// reported either way.
void deleteUpdateTask(std::string_view transactionId);

}  // namespace tl
