#include "native_ui/progress_window.h"

#include <algorithm>
#include <new>

#include "native_ui/wide_concat.h"
#include "platform/process_env.h"

namespace tl {

namespace {

using namespace platform;

constexpr LPARAM kMarqueeSpeedMs = 30;
constexpr std::u16string_view kDefaultSuccessText = u"The application was installed successfully.";
constexpr std::u16string_view kDefaultFailureText =
    u"The installer could not complete. Try again or contact the application publisher.";

LRESULT send(HWND h, std::uint32_t message, WPARAM w, LPARAM l) { return sendMessage(h, message, w, l); }

void sendText(HWND h, WPARAM element, const std::u16string& text) {
  send(h, TDM_SET_ELEMENT_TEXT, element, reinterpret_cast<LPARAM>(text.c_str()));
}

void marqueeOn(HWND h) {
  send(h, TDM_SET_MARQUEE_PROGRESS_BAR, 1, 0);
  send(h, TDM_SET_PROGRESS_BAR_MARQUEE, 1, kMarqueeSpeedMs);
}

// A determinate bar from 0 to 100.
void marqueeOff(HWND h) {
  send(h, TDM_SET_PROGRESS_BAR_MARQUEE, 0, 0);
  send(h, TDM_SET_MARQUEE_PROGRESS_BAR, 0, 0);
  send(h, TDM_SET_PROGRESS_BAR_RANGE, 0, makeLParam(0, 100));
}

// The dialog while the installer still works: nothing to do when it is
// gone or already shows its final page.
HWND runningDialog(ProgressWindow* window) {
  if (!window || window->state.load() != kProgressRunning) return nullptr;
  return window->hwnd.load();
}

HRESULT progressDialogCallback(HWND hwnd, std::uint32_t notification, WPARAM wParam, LPARAM,
                               LPARAM refData) {
  auto* window = reinterpret_cast<ProgressWindow*>(refData);
  switch (notification) {
    case TDN_CREATED:
      window->hwnd.exchange(hwnd);
      send(hwnd, TDM_ENABLE_BUTTON, kProgressCloseButton, 0);
      send(hwnd, TDM_SET_PROGRESS_BAR_MARQUEE, 1, kMarqueeSpeedMs);
      window->readyFlag.store(1);
      window->ready.set();
      return S_OK;
    case TDN_BUTTON_CLICKED:
      // The window closes only from its final page (or when its owner
      // closes it); work in progress cannot be cancelled from here.
      if (wParam == kProgressCloseButton && window->state.load() != kProgressRunning) return S_OK;
      return S_FALSE;
    case TDN_DESTROYED:
      window->hwnd.exchange(nullptr);
      return S_OK;
    default:
      return S_OK;
  }
}

std::uint32_t progressWindowThread(ProgressWindow* window) {
  initCommonControlsEx(ICC_PROGRESS_CLASS);
  TaskDialogConfig config;
  config.flags = TDF_SHOW_MARQUEE_PROGRESS_BAR | TDF_CAN_BE_MINIMIZED | TDF_SIZE_TO_CONTENT;
  if (window->autoclose) config.flags |= TDF_NO_SET_FOREGROUND;
  config.windowTitle = window->title;
  config.mainInstruction = window->mainInstruction;
  config.mainIcon = TD_INFORMATION_ICON;
  config.content = u"Preparing installation...";
  config.buttons.push_back({kProgressCloseButton, u"Close"});
  config.defaultButton = kProgressCloseButton;
  config.callback = progressDialogCallback;
  config.callbackData = reinterpret_cast<LPARAM>(window);
  Result<int> shown = taskDialogIndirect(config);
  window->hwnd.exchange(nullptr);
  // The creator waits for the event: it must be set however the dialog went.
  int pending = 0;
  if (window->readyFlag.compare_exchange_strong(pending, -1)) window->ready.set();
  return shown.ok() ? 0 : 1;
}

bool autocloseRequested() {
  std::optional<std::string> v = getProcessEnvironmentVariable("TAMBERLOCK_INSTALLER_UI_AUTOCLOSE");
  return v && *v == "1";
}

}  // namespace

void ProgressWindowCloser::operator()(ProgressWindow* window) const {
  closeProgressWindow(ProgressWindowPtr(window));
}

ProgressWindowPtr createProgressWindow(std::u16string_view name) {
  if (name.empty()) return nullptr;
  std::unique_ptr<ProgressWindow> window(new (std::nothrow) ProgressWindow());
  if (!window) return nullptr;
  window->autoclose = autocloseRequested();
  std::optional<std::u16string> title = buildWideConcat({name, u" Setup"});
  std::optional<std::u16string> instruction = buildWideConcat({u"Installing ", name});
  if (!title || !instruction) return nullptr;
  window->title = std::move(*title);
  window->mainInstruction = std::move(*instruction);

  // Without the event or the thread nobody would ever signal readiness:
  // there is no window then, and the installer reports on standard error.
  Result<Event> ready = Event::createManualReset();
  if (!ready) return nullptr;
  window->ready = ready.take();
  ProgressWindow* raw = window.get();
  Result<Thread> thread = Thread::create([raw] { return progressWindowThread(raw); });
  if (!thread) return nullptr;
  window->thread = thread.take();

  window->ready.wait();
  if (window->readyFlag.load() == 1) return ProgressWindowPtr(window.release());
  window->thread.wait();
  return nullptr;
}

void setProgressText(ProgressWindow* window, std::u16string_view text, bool marquee) {
  if (text.empty()) return;
  HWND h = runningDialog(window);
  if (!h) return;
  sendText(h, TDE_CONTENT, std::u16string(text));
  if (marquee) {
    marqueeOn(h);
  } else {
    marqueeOff(h);
  }
}

void setProgressPercent(ProgressWindow* window, std::uint32_t percent) {
  HWND h = runningDialog(window);
  if (!h) return;
  marqueeOff(h);
  send(h, TDM_SET_PROGRESS_BAR_STATE, PBST_NORMAL, 0);
  send(h, TDM_SET_PROGRESS_BAR_POS, std::min<std::uint32_t>(percent, 100), 0);
}

void finishProgressWindow(ProgressWindow* window, bool succeeded, std::u16string_view text) {
  if (!window) return;
  std::u16string content(text.empty() ? (succeeded ? kDefaultSuccessText : kDefaultFailureText) : text);
  int running = kProgressRunning;
  if (window->state.compare_exchange_strong(running, succeeded ? kProgressSucceeded : kProgressFailed)) {
    if (HWND h = window->hwnd.load()) {
      marqueeOff(h);
      send(h, TDM_SET_PROGRESS_BAR_STATE, succeeded ? PBST_NORMAL : PBST_ERROR, 0);
      send(h, TDM_SET_PROGRESS_BAR_POS, 100, 0);
      sendText(h, TDE_MAIN_INSTRUCTION,
               std::u16string(succeeded ? u"Installation complete" : u"Installation failed"));
      sendText(h, TDE_CONTENT, content);
      send(h, TDM_UPDATE_ICON, TDIE_ICON_MAIN,
           static_cast<LPARAM>(succeeded ? TD_INFORMATION_ICON : TD_ERROR_ICON));
      send(h, TDM_ENABLE_BUTTON, kProgressCloseButton, 1);
      if (window->autoclose) {
        send(h, TDM_CLICK_BUTTON, kProgressCloseButton, 0);
      } else {
        setForegroundWindow(h);
        flashWindow(h, true);
      }
    }
  }
  // The final page stays until the user closes it.
  window->thread.wait();
}

void closeProgressWindow(ProgressWindowPtr owned) {
  if (!owned) return;
  // Free the block ourselves: the owning pointer's closer would come back here.
  std::unique_ptr<ProgressWindow> window(owned.release());
  int running = kProgressRunning;
  window->state.compare_exchange_strong(running, kProgressClosed);
  if (HWND h = window->hwnd.load()) {
    send(h, TDM_ENABLE_BUTTON, kProgressCloseButton, 1);
    send(h, TDM_CLICK_BUTTON, kProgressCloseButton, 0);
  }
  window->thread.wait();
}

}  // namespace tl
