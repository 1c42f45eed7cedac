#pragma once
// The installer's progress window: a task dialog with a progress bar on a UI
// thread of its own, so the installer thread never pumps messages. The
// installer thread reaches it only through sent task-dialog messages and
// atomic state changes. It cannot be closed while work is running; at the
// end it shows a success or failure page with a "Close" button.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/event.h"
#include "platform/task_dialog.h"
#include "platform/thread.h"

namespace tl {

constexpr int kProgressCloseButton = 200;

enum ProgressWindowState : int {
  kProgressRunning = 0,
  kProgressSucceeded = 1,
  kProgressFailed = 2,
  kProgressClosed = 3,
};

struct ProgressWindow {
  platform::Thread thread;
  platform::Event ready;
  // The dialog's window; null while no dialog exists.
  std::atomic<platform::HWND> hwnd{nullptr};
  // 0 pending, 1 shown, -1 the dialog failed to open.
  std::atomic<int> readyFlag{0};
  // Leaves kProgressRunning only by compare-exchange.
  std::atomic<int> state{kProgressRunning};
  bool autoclose = false;
  std::u16string title;            // "<name> Setup"
  std::u16string mainInstruction;  // "Installing <name>"
};

// Closes the window (closeProgressWindow) when its owner lets go of it.
struct ProgressWindowCloser {
  void operator()(ProgressWindow* window) const;
};
using ProgressWindowPtr = std::unique_ptr<ProgressWindow, ProgressWindowCloser>;

// Shows the window for the application name; none for an empty name or
// when no dialog could be shown.
ProgressWindowPtr createProgressWindow(std::u16string_view name);
void setProgressText(ProgressWindow* window, std::u16string_view text, bool marquee);
void setProgressPercent(ProgressWindow* window, std::uint32_t percent);
// Shows the final page (an empty text gets the standard one) and returns
// once the user has closed the window.
void finishProgressWindow(ProgressWindow* window, bool succeeded, std::u16string_view text);
// Closes a window that is still open, waits for its thread and frees it.
void closeProgressWindow(ProgressWindowPtr window);

}  // namespace tl
