// The headless dialog host: task dialogs without a display. A dialog keeps
// its visible state in memory, writes every visible change to a log file and
// takes the user's clicks from a script, so that tests can watch and drive
// the windows of the system as a person would.
//
// The host exists only while TAMBERLOCK_POSIX_UI_LOG or
// TAMBERLOCK_POSIX_UI_SCRIPT is set; otherwise there is no display and
// taskDialogIndirect fails, as it does in a session without a desktop. The
// log's lines are in dialog_log.cpp, the script's actions in dialog_script.cpp.
//
// A script action is played only when the dialog waits for the user: it has
// handled every message sent to it, and nothing but the user can move it
// on. A dialog on a thread that Thread started is driven by its creator
// until somebody waits for that thread to end; a dialog on any other thread
// is modal to its caller and waits for the user as soon as it is idle. So
// clicks never race the program's own messages: every change that the
// program makes before it waits for the user is in the log before the click.
//
// When a dialog waits for the user and the script has no action left (or
// its next action cannot be played: a button the dialog does not have, or
// "when enabled" on a disabled one), the host says so on standard error,
// writes "stuck", and ends the process with status 3: a test that forgot a
// click fails instead of hanging. A click that the program makes itself
// (TDM_CLICK_BUTTON) needs no script.
#include "platform/task_dialog.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "platform/posix/dialog_log.h"
#include "platform/posix/dialog_script.h"
#include "platform/posix/worker_threads.h"
#include "platform/process_env.h"

namespace tl::platform {

namespace {

using posix::answerName;
using posix::barStateName;
using posix::endProcess;
using posix::flagNames;
using posix::iconName;
using posix::kDialogLogVariable;
using posix::kDialogScriptVariable;
using posix::logLine;
using posix::logText;
using posix::nextScriptAction;
using posix::ScriptAction;
using posix::startScriptedDialog;

// Calls that Win32 makes without a message go through the dialog's queue as
// private messages, so they are ordered with everything else sent to it.
constexpr std::uint32_t kSetForeground = 0x7FFF0001;
constexpr std::uint32_t kFlash = 0x7FFF0002;

std::u16string textFromLParam(LPARAM l) {
  const auto* p = reinterpret_cast<const char16_t*>(l);
  return p ? std::u16string(p) : std::u16string();
}

struct Pending {
  std::uint32_t message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  bool done = false;
};

struct Button {
  int id;
  std::u16string text;
  bool enabled = true;
};

// One open dialog. Its visible state is touched only on the dialog's
// thread; the queue, under the mutex, is how other threads reach it.
struct Host {
  std::uintptr_t handle = 0;
  int number = 0;
  std::uint64_t workerId = 0;  // 0: modal to the thread that called
  std::thread::id thread;
  const TaskDialogConfig* config = nullptr;

  std::vector<Button> buttons;
  std::u16string instruction, content, footer, expanded;
  LPARAM icon = 0;
  LPARAM footerIcon = 0;
  bool hasBar = false;
  bool marqueeStyle = false;
  bool marqueeOn = false;
  LPARAM marqueeSpeed = 0;
  std::uint32_t rangeMin = 0;
  std::uint32_t rangeMax = 100;
  WPARAM barPos = 0;
  WPARAM barState = PBST_NORMAL;
  bool ended = false;
  int result = 0;

  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Pending*> queue;
  bool destroyed = false;

  HWND hwnd() const { return reinterpret_cast<HWND>(handle); }
  void log(std::string_view event) const { logLine(number, event); }
  Button* button(int id) {
    for (Button& b : buttons) {
      if (b.id == id) return &b;
    }
    return nullptr;
  }
};

struct Registry {
  std::mutex mutex;
  std::map<std::uintptr_t, std::shared_ptr<Host>> hosts;
  std::set<std::uint64_t> awaitedWorkers;
  std::uintptr_t nextHandle = 1;  // never reused: a stale handle stays dead
};

Registry& registry() {
  static Registry r;
  return r;
}

std::atomic<std::uint64_t> g_messagesHandled{0};

std::shared_ptr<Host> findHost(HWND hwnd) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.hosts.find(reinterpret_cast<std::uintptr_t>(hwnd));
  return it == r.hosts.end() ? nullptr : it->second;
}

bool waitsForUser(const Host& host) {
  if (host.workerId == 0) return true;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.awaitedWorkers.count(host.workerId) != 0;
}

HRESULT notify(Host& host, std::uint32_t notification, WPARAM wParam) {
  const TaskDialogConfig& c = *host.config;
  if (!c.callback) return S_OK;
  return c.callback(host.hwnd(), notification, wParam, 0, c.callbackData);
}

void click(Host& host, int id, const char* source) {
  HRESULT answer = notify(host, TDN_BUTTON_CLICKED, static_cast<WPARAM>(id));
  host.log("click " + std::to_string(id) + " " + source + " " + answerName(answer));
  // Only S_FALSE keeps the dialog open.
  if (answer != S_FALSE && !host.ended) {
    host.ended = true;
    host.result = id;
  }
}

template <typename T>
bool change(T& field, const T& value) {
  if (field == value) return false;
  field = value;
  return true;
}

LRESULT handle(Host& host, std::uint32_t message, WPARAM w, LPARAM l) {
  g_messagesHandled.fetch_add(1);
  switch (message) {
    case TDM_CLICK_BUTTON:
      click(host, static_cast<int>(w), "program");
      return 0;
    case TDM_ENABLE_BUTTON:
      if (Button* b = host.button(static_cast<int>(w))) {
        if (change(b->enabled, l != 0)) {
          host.log("button " + std::to_string(b->id) + (b->enabled ? " enabled" : " disabled"));
        }
      }
      return 0;
    case TDM_SET_ELEMENT_TEXT: {
      std::u16string text = textFromLParam(l);
      std::u16string* field = nullptr;
      const char* name = nullptr;
      switch (w) {
        case TDE_CONTENT: field = &host.content; name = "content "; break;
        case TDE_MAIN_INSTRUCTION: field = &host.instruction; name = "instruction "; break;
        case TDE_FOOTER: field = &host.footer; name = "footer "; break;
        case TDE_EXPANDED_INFORMATION: field = &host.expanded; name = "expanded "; break;
        default: return 0;
      }
      if (change(*field, text)) host.log(name + logText(text));
      return 1;
    }
    case TDM_UPDATE_ICON:
      if (w == TDIE_ICON_MAIN && change(host.icon, l)) host.log("icon " + iconName(l));
      if (w == TDIE_ICON_FOOTER && change(host.footerIcon, l)) host.log("footer-icon " + iconName(l));
      return 0;
    case kSetForeground:
      host.log("foreground");
      return 1;
    case kFlash:
      host.log(w ? "flash" : "flash stop");
      return 1;
    default:
      break;
  }
  if (!host.hasBar) return 0;
  switch (message) {
    case TDM_SET_MARQUEE_PROGRESS_BAR:
      if (change(host.marqueeStyle, w != 0)) host.log(host.marqueeStyle ? "bar style marquee" : "bar style normal");
      return 1;
    case TDM_SET_PROGRESS_BAR_MARQUEE: {
      bool on = w != 0;
      bool changed = change(host.marqueeOn, on);
      if (on) changed = change(host.marqueeSpeed, l) || changed;
      if (changed) host.log(on ? "bar marquee on " + std::to_string(l) : std::string("bar marquee off"));
      return 1;
    }
    case TDM_SET_PROGRESS_BAR_RANGE: {
      auto lo = static_cast<std::uint32_t>(l & 0xFFFF);
      auto hi = static_cast<std::uint32_t>((l >> 16) & 0xFFFF);
      LRESULT previous = makeLParam(static_cast<std::uint16_t>(host.rangeMin), static_cast<std::uint16_t>(host.rangeMax));
      bool changed = change(host.rangeMin, lo);
      changed = change(host.rangeMax, hi) || changed;
      if (changed) host.log("bar range " + std::to_string(lo) + " " + std::to_string(hi));
      return previous;
    }
    case TDM_SET_PROGRESS_BAR_STATE: {
      WPARAM previous = host.barState;
      if (change(host.barState, w)) host.log("bar state " + barStateName(w));
      return static_cast<LRESULT>(previous);
    }
    case TDM_SET_PROGRESS_BAR_POS: {
      WPARAM previous = host.barPos;
      if (change(host.barPos, w)) host.log("bar pos " + std::to_string(w));
      return static_cast<LRESULT>(previous);
    }
    default:
      return 0;
  }
}

// The dialog waits for the user: the next scripted action, or the end.
void playNextAction(Host& host) {
  std::optional<ScriptAction> next = nextScriptAction();
  if (!next) {
    host.log("stuck no script action left");
    endProcess("dialog " + std::to_string(host.number) + " waits for the user and the script has no action left");
  }
  const ScriptAction a = *next;
  if (a.kind == ScriptAction::Close) {
    if (!(host.config->flags & TDF_ALLOW_DIALOG_CANCELLATION)) {
      host.log("close user ignored");
      return;
    }
    HRESULT answer = notify(host, TDN_BUTTON_CLICKED, IDCANCEL);
    host.log("close user " + answerName(answer));
    if (answer != S_FALSE) {
      host.ended = true;
      host.result = IDCANCEL;
    }
    return;
  }
  std::string id = std::to_string(a.id);
  Button* b = host.button(a.id);
  if (!b) {
    host.log("stuck no button " + id);
    endProcess("the script clicks button " + id + ", which dialog " + std::to_string(host.number) +
               " does not have");
  }
  if (!b->enabled) {
    if (a.whenEnabled) {
      host.log("stuck button " + id + " disabled");
      endProcess("dialog " + std::to_string(host.number) + " waits for the user with button " + id +
                 " disabled, and the script waits for it to be enabled");
    }
    host.log("click " + id + " user disabled");
    return;
  }
  click(host, a.id, "user");
}

void logFirstState(Host& host) {
  const TaskDialogConfig& c = *host.config;
  host.log("created");
  host.log("flags " + flagNames(c.flags));
  host.log("title " + logText(c.windowTitle));
  host.log("instruction " + logText(c.mainInstruction));
  host.log("content " + logText(c.content));
  host.log("icon " + iconName(host.icon));
  for (const Button& b : host.buttons) {
    host.log("button " + std::to_string(b.id) + " enabled " + logText(b.text));
  }
  host.log("default " + std::to_string(c.defaultButton));
  if (host.hasBar) host.log(host.marqueeStyle ? "bar style marquee" : "bar style normal");
  if (!(c.flags & TDF_NO_SET_FOREGROUND)) host.log("foreground");
}

void runLoop(Host& host) {
  std::unique_lock<std::mutex> lock(host.mutex);
  while (!host.ended) {
    if (!host.queue.empty()) {
      Pending* p = host.queue.front();
      host.queue.pop_front();
      lock.unlock();
      p->result = handle(host, p->message, p->wParam, p->lParam);
      lock.lock();
      p->done = true;
      host.cv.notify_all();
      continue;
    }
    if (waitsForUser(host)) {
      lock.unlock();
      playNextAction(host);
      lock.lock();
      continue;
    }
    host.cv.wait(lock);
  }
}

void wakeAll() {
  std::vector<std::shared_ptr<Host>> hosts;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto& [handle, host] : r.hosts) hosts.push_back(host);
  }
  for (auto& host : hosts) {
    std::lock_guard<std::mutex> lock(host->mutex);
    host->cv.notify_all();
  }
}

bool hostAvailable() {
  return getProcessEnvironmentVariable(kDialogLogVariable).has_value() ||
         getProcessEnvironmentVariable(kDialogScriptVariable).has_value();
}

}  // namespace

namespace posix {

void workerAwaitStarted(std::uint64_t id) {
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.awaitedWorkers.insert(id);
  }
  wakeAll();
}

void workerAwaitEnded(std::uint64_t id) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.awaitedWorkers.erase(id);
}

}  // namespace posix

Result<int> taskDialogIndirect(const TaskDialogConfig& config) {
  if (!hostAvailable()) return Error::OperationUnsupported;
  auto host = std::make_shared<Host>();
  host->number = startScriptedDialog();
  host->config = &config;
  host->thread = std::this_thread::get_id();
  host->workerId = posix::currentWorkerThreadId();
  for (const TaskDialogButton& b : config.buttons) host->buttons.push_back({b.id, b.text, true});
  // Without custom buttons a task dialog shows its common OK button.
  if (host->buttons.empty()) host->buttons.push_back({IDOK, u"OK", true});
  host->instruction = config.mainInstruction;
  host->content = config.content;
  host->icon = static_cast<LPARAM>(config.mainIcon);
  host->hasBar = (config.flags & (TDF_SHOW_PROGRESS_BAR | TDF_SHOW_MARQUEE_PROGRESS_BAR)) != 0;
  host->marqueeStyle = (config.flags & TDF_SHOW_MARQUEE_PROGRESS_BAR) != 0;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    host->handle = r.nextHandle++;
    r.hosts.emplace(host->handle, host);
  }

  logFirstState(*host);
  (void)notify(*host, TDN_CREATED, 0);
  runLoop(*host);
  (void)notify(*host, TDN_DESTROYED, 0);

  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.hosts.erase(host->handle);
  }
  {
    // Senders still waiting get 0, as for a window that no longer exists.
    std::lock_guard<std::mutex> lock(host->mutex);
    host->destroyed = true;
    for (Pending* p : host->queue) p->done = true;
    host->queue.clear();
    host->cv.notify_all();
  }
  host->log("destroyed " + std::to_string(host->result));
  return host->result;
}

LRESULT sendMessage(HWND hwnd, std::uint32_t message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Host> host = findHost(hwnd);
  if (!host) return 0;
  if (std::this_thread::get_id() == host->thread) return handle(*host, message, wParam, lParam);
  Pending p{message, wParam, lParam};
  std::unique_lock<std::mutex> lock(host->mutex);
  if (host->destroyed) return 0;
  host->queue.push_back(&p);
  host->cv.notify_all();
  host->cv.wait(lock, [&] { return p.done; });
  return p.result;
}

bool setForegroundWindow(HWND hwnd) { return sendMessage(hwnd, kSetForeground, 0, 0) != 0; }

bool flashWindow(HWND hwnd, bool invert) { return sendMessage(hwnd, kFlash, invert ? 1 : 0, 0) != 0; }

bool initCommonControlsEx(std::uint32_t) { return true; }

std::uint64_t taskDialogMessagesHandledForTesting() { return g_messagesHandled.load(); }

void resetTaskDialogHostForTesting() { posix::resetDialogScript(); }

}  // namespace tl::platform
