// The dialog host's log.
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
#include "platform/posix/dialog_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "common/wtf8.h"
#include "platform/posix/fd_io.h"
#include "platform/process_env.h"

namespace tl::platform::posix {

namespace {

constexpr int kStuckExitStatus = 3;

void writeAll(int fd, std::string_view bytes) { (void)fdWriteAll(fd, bytes.data(), bytes.size()); }

}  // namespace

// The file is opened for each line: a test may read it at any moment, and
// processes that share it append whole lines.
void logLine(int dialog, std::string_view event) {
  std::optional<std::string> path = getProcessEnvironmentVariable(kDialogLogVariable);
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

}  // namespace tl::platform::posix
