// The headless dialog host: task dialogs without a display. A dialog keeps
// its visible state in memory, writes every visible change to a log file and
// takes the user's clicks from a script, so that tests can watch and drive
// the windows of the system as a person would.
//
// The host exists only while TAMBERLOCK_POSIX_UI_LOG or
// TAMBERLOCK_POSIX_UI_SCRIPT is set; otherwise there is no display and
// taskDialogIndirect fails, as it does in a session without a desktop.
//
// LOG (TAMBERLOCK_POSIX_UI_LOG = a file path). The file is appended to, one
// line per event, each line written whole in one write:
//
//   dialog <n> <what>[ <value>]
//
// <n> numbers the dialogs of the process from 1 (processes that share one
// log each count from 1; a test that runs several keeps them apart). Texts are the dialog's
// UTF-16 texts as UTF-8, with '\' written "\\", line feed "\n", carriage
// return "\r", tab "\t" and other control bytes "\xHH". The events:
//
//   created                        the dialog opened; its first state follows
//   flags <TDF_...> ...            its flags by their Win32 names
//   title <text>
//   instruction <text>             main instruction (also when changed)
//   content <text>                 (also when changed)
//   footer <text> / expanded <text>   when changed
//   icon <none|information|warning|error|shield>   (also when changed)
//   button <id> <enabled|disabled> <text>   each custom button, in order
//   button <id> <enabled|disabled>          when its state changed
//   default <id>                   the default button
//   bar style <marquee|normal>     the bar's style (only dialogs with a bar)
//   bar marquee on <ms> / bar marquee off    the marquee animation changed
//   bar range <min> <max>          changed (starts at 0 100)
//   bar state <normal|error|paused>   changed (starts normal)
//   bar pos <n>                    changed (starts at 0)
//   foreground                     the dialog took the foreground (at its
//                                  creation unless TDF_NO_SET_FOREGROUND, and
//                                  on every SetForegroundWindow)
//   flash / flash stop             FlashWindow(TRUE) / FlashWindow(FALSE)
//   click <id> <user|program> <answer>   a click and the callback's answer:
//                                  S_OK (the dialog ends), S_FALSE (it stays)
//   click <id> user disabled       the user clicked a disabled button: nothing
//   close user <answer>            the close box or Escape (answer as above;
//                                  the dialog ends with IDCANCEL, 2)
//   close user ignored             the same without TDF_ALLOW_DIALOG_CANCELLATION
//   stuck <reason>                 the dialog waited for the user in vain
//   destroyed <id>                 the dialog ended with button <id>
//
// Only changes are written: a message that leaves the dialog as it was adds
// no line.
//
// SCRIPT (TAMBERLOCK_POSIX_UI_SCRIPT). A value beginning with '/' names a
// file; any other value is the script itself. Actions are separated by line
// ends or ';', '#' starts a comment, and they are used in order across all
// the dialogs of the process (each process starts at the first action):
//
//   click <id>                the user clicks button <id>
//   choose <id>               the same (reads better for a choice)
//   click <id> when enabled   the same, and the button must be enabled then
//   close                     the close box or Escape
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

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "common/wtf8.h"
#include "platform/process_env.h"
#include "platform/posix/worker_threads.h"

namespace tl::platform {

namespace {

constexpr std::string_view kLogVariable = "TAMBERLOCK_POSIX_UI_LOG";
constexpr std::string_view kScriptVariable = "TAMBERLOCK_POSIX_UI_SCRIPT";
constexpr int kStuckExitStatus = 3;

// Calls that Win32 makes without a message go through the dialog's queue as
// private messages, so they are ordered with everything else sent to it.
constexpr std::uint32_t kSetForeground = 0x7FFF0001;
constexpr std::uint32_t kFlash = 0x7FFF0002;

// ---- text --------------------------------------------------------------

// UTF-16 as one log field: WTF-8 (a lone surrogate keeps its own three
// bytes) with line breaks and control bytes escaped, so one event stays one
// line.
std::string logText(std::u16string_view text) {
  std::string bytes = utf16ToWtf8(text);
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::u16string textFromLParam(LPARAM l) {
  const auto* p = reinterpret_cast<const char16_t*>(l);
  return p ? std::u16string(p) : std::u16string();
}

std::string answerName(HRESULT hr) {
  if (hr == S_OK) return "S_OK";
  if (hr == S_FALSE) return "S_FALSE";
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
  return hex;
}

std::string iconName(LPARAM icon) {
  switch (static_cast<TaskDialogIcon>(icon)) {
    case TaskDialogIcon::None: return "none";
    case TaskDialogIcon::Warning: return "warning";
    case TaskDialogIcon::Error: return "error";
    case TaskDialogIcon::Information: return "information";
    case TaskDialogIcon::Shield: return "shield";
  }
  return std::to_string(icon);
}

std::string barStateName(WPARAM state) {
  switch (state) {
    case PBST_NORMAL: return "normal";
    case PBST_ERROR: return "error";
    case PBST_PAUSED: return "paused";
    default: return std::to_string(state);
  }
}

std::string flagNames(std::uint32_t flags) {
  static constexpr struct {
    std::uint32_t bit;
    const char* name;
  } kFlags[] = {
      {TDF_ALLOW_DIALOG_CANCELLATION, "TDF_ALLOW_DIALOG_CANCELLATION"},
      {TDF_SHOW_PROGRESS_BAR, "TDF_SHOW_PROGRESS_BAR"},
      {TDF_SHOW_MARQUEE_PROGRESS_BAR, "TDF_SHOW_MARQUEE_PROGRESS_BAR"},
      {TDF_CAN_BE_MINIMIZED, "TDF_CAN_BE_MINIMIZED"},
      {TDF_NO_SET_FOREGROUND, "TDF_NO_SET_FOREGROUND"},
      {TDF_SIZE_TO_CONTENT, "TDF_SIZE_TO_CONTENT"},
  };
  std::string out;
  std::uint32_t rest = flags;
  for (const auto& f : kFlags) {
    if (flags & f.bit) {
      if (!out.empty()) out += ' ';
      out += f.name;
      rest &= ~f.bit;
    }
  }
  if (rest != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", rest);
    if (!out.empty()) out += ' ';
    out += hex;
  }
  return out.empty() ? "0" : out;
}

// ---- log and failure -----------------------------------------------------

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The file is opened for each line: a test may read it at any moment, and
// processes that share it append whole lines.
void logLine(int dialog, std::string_view event) {
  std::optional<std::string> path = getProcessEnvironmentVariable(kLogVariable);
  if (!path || path->empty()) return;
  std::string line = "dialog " + std::to_string(dialog) + " ";
  line += event;
  line += '\n';
  int fd = ::open(path->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  writeAll(fd, line);
  ::close(fd);
}

[[noreturn]] void endProcess(const std::string& message) {
  writeAll(STDERR_FILENO, "ui: " + message + "\n");
  ::_exit(kStuckExitStatus);
}

// ---- script ------------------------------------------------------------

struct Action {
  enum Kind { Click, Close } kind = Click;
  int id = 0;
  bool whenEnabled = false;
};

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r')) ++i;
    std::size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '\r') ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

bool parseId(std::string_view s, int& id) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  id = v;
  return true;
}

std::vector<Action> parseScript(std::string_view text) {
  std::vector<Action> actions;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of(";\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    if (std::size_t hash = item.find('#'); hash != std::string_view::npos) item = item.substr(0, hash);
    std::vector<std::string_view> w = words(item);
    if (w.empty()) continue;
    Action a;
    bool ok = false;
    if (w[0] == "close") {
      a.kind = Action::Close;
      ok = w.size() == 1;
    } else if (w[0] == "click" || w[0] == "choose") {
      ok = (w.size() == 2 || (w.size() == 4 && w[2] == "when" && w[3] == "enabled")) &&
           parseId(w[1], a.id);
      a.whenEnabled = w.size() == 4;
    }
    if (!ok) endProcess("script action not understood: \"" + std::string(item) + "\"");
    actions.push_back(a);
  }
  return actions;
}

std::string readScriptFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) endProcess("cannot open the script " + path);
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) endProcess("cannot read the script " + path);
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// The script, shared by every dialog of the process. It is read again when
// the variable's value changes (tests set a new one for each case).
struct Script {
  std::mutex mutex;
  bool loaded = false;
  std::optional<std::string> source;
  std::vector<Action> actions;
  std::size_t next = 0;
  int dialogs = 0;
};

Script& script() {
  static Script s;
  return s;
}

void loadScriptLocked(Script& s) {
  std::optional<std::string> source = getProcessEnvironmentVariable(kScriptVariable);
  if (s.loaded && source == s.source) return;
  s.loaded = true;
  s.source = source;
  s.next = 0;
  s.actions.clear();
  if (!source) return;
  s.actions = parseScript(!source->empty() && (*source)[0] == '/' ? readScriptFile(*source) : *source);
}

// ---- dialogs ---------------------------------------------------------------

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
  Action a;
  {
    Script& s = script();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.next >= s.actions.size()) {
      host.log("stuck no script action left");
      endProcess("dialog " + std::to_string(host.number) +
                 " waits for the user and the script has no action left");
    }
    a = s.actions[s.next++];
  }
  if (a.kind == Action::Close) {
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
  return getProcessEnvironmentVariable(kLogVariable).has_value() ||
         getProcessEnvironmentVariable(kScriptVariable).has_value();
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
  {
    Script& s = script();
    std::lock_guard<std::mutex> lock(s.mutex);
    loadScriptLocked(s);
    host->number = ++s.dialogs;
  }
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

void resetTaskDialogHostForTesting() {
  Script& s = script();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.loaded = false;
  s.source.reset();
  s.actions.clear();
  s.next = 0;
  s.dialogs = 0;
}

}  // namespace tl::platform
