#pragma once
// Task dialogs as TaskDialogIndirect gives them: a configuration, a callback
// that the dialog's own thread calls with notifications, and messages that
// any thread may send to the dialog (SendMessageW), each handled on the
// dialog's thread while its sender waits. Texts are UTF-16, as the Win32
// surface has them. Message and flag values are the Win32 ones.
#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"

namespace tl::platform {

// A window handle; null is no window. A handle outlives its dialog harmlessly:
// messages to a destroyed dialog are ignored and answer 0.
struct TaskDialogWindow;
using HWND = TaskDialogWindow*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using HRESULT = std::int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// TASKDIALOG_FLAGS
constexpr std::uint32_t TDF_ALLOW_DIALOG_CANCELLATION = 0x0008;
constexpr std::uint32_t TDF_SHOW_PROGRESS_BAR = 0x0200;
constexpr std::uint32_t TDF_SHOW_MARQUEE_PROGRESS_BAR = 0x0400;
constexpr std::uint32_t TDF_CAN_BE_MINIMIZED = 0x8000;
constexpr std::uint32_t TDF_NO_SET_FOREGROUND = 0x10000;
constexpr std::uint32_t TDF_SIZE_TO_CONTENT = 0x1000000;

// Notifications to the callback.
constexpr std::uint32_t TDN_CREATED = 0;
constexpr std::uint32_t TDN_BUTTON_CLICKED = 2;  // wParam: the button id
constexpr std::uint32_t TDN_DESTROYED = 5;

// Messages (WM_USER + n).
constexpr std::uint32_t TDM_CLICK_BUTTON = 0x400 + 102;               // wParam: id
constexpr std::uint32_t TDM_SET_MARQUEE_PROGRESS_BAR = 0x400 + 103;   // wParam: marquee style on
constexpr std::uint32_t TDM_SET_PROGRESS_BAR_STATE = 0x400 + 104;     // wParam: PBST_*
constexpr std::uint32_t TDM_SET_PROGRESS_BAR_RANGE = 0x400 + 105;     // lParam: makeLParam(min, max)
constexpr std::uint32_t TDM_SET_PROGRESS_BAR_POS = 0x400 + 106;       // wParam: position
constexpr std::uint32_t TDM_SET_PROGRESS_BAR_MARQUEE = 0x400 + 107;   // wParam: on, lParam: ms
constexpr std::uint32_t TDM_SET_ELEMENT_TEXT = 0x400 + 108;           // wParam: TDE_*, lParam: const char16_t*
constexpr std::uint32_t TDM_ENABLE_BUTTON = 0x400 + 111;              // wParam: id, lParam: enabled
constexpr std::uint32_t TDM_UPDATE_ICON = 0x400 + 116;                // wParam: TDIE_*, lParam: icon

// TASKDIALOG_ELEMENTS
constexpr WPARAM TDE_CONTENT = 0;
constexpr WPARAM TDE_EXPANDED_INFORMATION = 1;
constexpr WPARAM TDE_FOOTER = 2;
constexpr WPARAM TDE_MAIN_INSTRUCTION = 3;

// TASKDIALOG_ICON_ELEMENTS
constexpr WPARAM TDIE_ICON_MAIN = 0;
constexpr WPARAM TDIE_ICON_FOOTER = 1;

// Progress bar states.
constexpr WPARAM PBST_NORMAL = 1;
constexpr WPARAM PBST_ERROR = 2;
constexpr WPARAM PBST_PAUSED = 3;

// The stock icons, as their MAKEINTRESOURCEW(-n) values.
enum class TaskDialogIcon : LPARAM {
  None = 0,
  Warning = 0xFFFF,      // TD_WARNING_ICON
  Error = 0xFFFE,        // TD_ERROR_ICON
  Information = 0xFFFD,  // TD_INFORMATION_ICON
  Shield = 0xFFFC,       // TD_SHIELD_ICON
};
constexpr TaskDialogIcon TD_WARNING_ICON = TaskDialogIcon::Warning;
constexpr TaskDialogIcon TD_ERROR_ICON = TaskDialogIcon::Error;
constexpr TaskDialogIcon TD_INFORMATION_ICON = TaskDialogIcon::Information;
constexpr TaskDialogIcon TD_SHIELD_ICON = TaskDialogIcon::Shield;

// InitCommonControlsEx classes.
constexpr std::uint32_t ICC_PROGRESS_CLASS = 0x20;

constexpr LPARAM makeLParam(std::uint16_t low, std::uint16_t high) {
  return static_cast<LPARAM>((static_cast<std::uint32_t>(high) << 16) | low);
}

using TaskDialogCallback = HRESULT (*)(HWND hwnd, std::uint32_t notification, WPARAM wParam,
                                       LPARAM lParam, LPARAM refData);

struct TaskDialogButton {
  int id = 0;
  std::u16string text;
};

// TASKDIALOGCONFIG, the members this system uses. No owner window; the
// module instance is the executable's.
struct TaskDialogConfig {
  std::uint32_t flags = 0;
  std::u16string windowTitle;
  std::u16string mainInstruction;
  std::u16string content;
  TaskDialogIcon mainIcon = TaskDialogIcon::None;
  std::vector<TaskDialogButton> buttons;  // custom buttons, in order
  int defaultButton = 0;
  TaskDialogCallback callback = nullptr;
  LPARAM callbackData = 0;
};

// TaskDialogIndirect: shows the dialog and runs its message loop on the
// calling thread until it ends; gives the id of the button that ended it
// (IDCANCEL for the close box or Escape). Fails when no dialog can be shown
// (a session without a desktop).
[[nodiscard]] Result<int> taskDialogIndirect(const TaskDialogConfig& config);

// SendMessageW: from the dialog's own thread the message is handled at once;
// from any other thread it is queued and the sender waits until the
// dialog's thread has handled it. 0 when the window no longer exists.
LRESULT sendMessage(HWND hwnd, std::uint32_t message, WPARAM wParam, LPARAM lParam);
// SetForegroundWindow; false when the window no longer exists.
bool setForegroundWindow(HWND hwnd);
// FlashWindow(invert); false when the window no longer exists.
bool flashWindow(HWND hwnd, bool invert);
// InitCommonControlsEx.
bool initCommonControlsEx(std::uint32_t classes);

// Tests: the number of messages that reached a live dialog so far, and a
// fresh start for the dialog host (its script is read again, dialogs are
// counted from 1).
std::uint64_t taskDialogMessagesHandledForTesting();
void resetTaskDialogHostForTesting();

}  // namespace tl::platform
