#pragma once
// The dialog host's log: one line per visible change of a dialog, appended to
// the file that TAMBERLOCK_POSIX_UI_LOG names, and the host's way out when a
// dialog waits for the user in vain.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/task_dialog.h"

namespace tl::platform::posix {

inline constexpr std::string_view kDialogLogVariable = "TAMBERLOCK_POSIX_UI_LOG";

// Appends "dialog <n> <event>" as one line when the log is set.
void logLine(int dialog, std::string_view event);
// Says "ui: <message>" on standard error and ends the process with status 3.
[[noreturn]] void endProcess(const std::string& message);

// Log fields.
std::string logText(std::u16string_view text);
std::string answerName(HRESULT hr);
std::string iconName(LPARAM icon);
std::string barStateName(WPARAM state);
std::string flagNames(std::uint32_t flags);

}  // namespace tl::platform::posix
