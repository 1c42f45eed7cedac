// The dialog host's script of the user's clicks.
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
#include "platform/posix/dialog_script.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/dialog_log.h"
#include "platform/posix/fd_io.h"
#include "platform/process_env.h"

namespace tl::platform::posix {

namespace {

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

std::vector<ScriptAction> parseScript(std::string_view text) {
  std::vector<ScriptAction> actions;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of(";\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    if (std::size_t hash = item.find('#'); hash != std::string_view::npos) item = item.substr(0, hash);
    std::vector<std::string_view> w = words(item);
    if (w.empty()) continue;
    ScriptAction a;
    bool ok = false;
    if (w[0] == "close") {
      a.kind = ScriptAction::Close;
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
    Result<std::size_t> n = fdRead(fd, buf, sizeof buf);
    if (!n) endProcess("cannot read the script " + path);
    if (*n == 0) break;
    text.append(buf, *n);
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
  std::vector<ScriptAction> actions;
  std::size_t next = 0;
  int dialogs = 0;
};

Script& script() {
  static Script s;
  return s;
}

void loadScriptLocked(Script& s) {
  std::optional<std::string> source = getProcessEnvironmentVariable(kDialogScriptVariable);
  if (s.loaded && source == s.source) return;
  s.loaded = true;
  s.source = source;
  s.next = 0;
  s.actions.clear();
  if (!source) return;
  s.actions = parseScript(!source->empty() && (*source)[0] == '/' ? readScriptFile(*source) : *source);
}

}  // namespace

int startScriptedDialog() {
  Script& s = script();
  std::lock_guard<std::mutex> lock(s.mutex);
  loadScriptLocked(s);
  return ++s.dialogs;
}

std::optional<ScriptAction> nextScriptAction() {
  Script& s = script();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.next >= s.actions.size()) return std::nullopt;
  return s.actions[s.next++];
}

void resetDialogScript() {
  Script& s = script();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.loaded = false;
  s.source.reset();
  s.actions.clear();
  s.next = 0;
  s.dialogs = 0;
}

}  // namespace tl::platform::posix
