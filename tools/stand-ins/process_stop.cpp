#include "process_stop.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "call_log.h"
#include "fault_rules.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"
#include "win_path.h"

namespace standin {

namespace {

std::optional<std::string> executableOf(const std::string& pidDir) {
  std::string buf(4096, '\0');
  ssize_t n = ::readlink((pidDir + "/exe").c_str(), buf.data(), buf.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  constexpr std::string_view kDeleted = " (deleted)";
  if (buf.size() > kDeleted.size() && buf.compare(buf.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    buf.resize(buf.size() - kDeleted.size());
  }
  if (buf.empty() || buf[0] != '/') return std::nullopt;
  return buf;
}

// A process that has exited is not in Windows' process list any more, even
// while a handle keeps its object: here, a zombie counts as gone too.
bool isRunning(pid_t pid) {
  std::optional<std::string> stat;
  try {
    stat = readHostFile("/proc/" + std::to_string(pid) + "/stat");
  } catch (const ToolFailure&) {
    return false;
  }
  if (!stat) return false;
  std::size_t close = stat->rfind(')');
  if (close == std::string::npos || close + 2 >= stat->size()) return false;
  char state = (*stat)[close + 2];
  return state != 'Z' && state != 'X' && state != 'x';
}

// The race of a process that ends by itself between the listing and its stop.
void endBeforeTheStop(pid_t pid) {
  ::kill(pid, SIGKILL);
  for (int i = 0; i < 500 && isRunning(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

enum class Stop { Stopped, Gone, Refused };

// Stop-Process -Id: an id no longer running is NoProcessFoundForGivenId; a
// process that cannot be ended is CouldNotStopProcess.
Stop stopOne(pid_t pid, const std::string& full) {
  std::optional<FiredFault> fault;
  {
    StateLock lock;
    logCall("Stop-Process", {full});
    fault = matchFault("Stop-Process", {full});
  }
  if (fault && fault->exited) endBeforeTheStop(pid);
  if (!isRunning(pid)) return Stop::Gone;
  if (fault && !fault->exited) return Stop::Refused;
  if (::kill(pid, SIGKILL) == 0) return Stop::Stopped;
  return errno == ESRCH ? Stop::Gone : Stop::Refused;
}

}  // namespace

StopOutcome stopProcessesUnder(const std::string& root) {
  StopOutcome out;
  DIR* proc = ::opendir("/proc");
  if (!proc) {
    out.error = "Get-CimInstance : cannot list the processes";
    return out;
  }
  const pid_t self = ::getpid();
  const uid_t uid = ::getuid();
  while (dirent* e = ::readdir(proc)) {
    std::string_view name = e->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) continue;
    pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
    if (pid == self) continue;
    std::string dir = "/proc/" + std::string(name);
    struct stat st {};
    // Another user's process shows no ExecutablePath to this one.
    if (::stat(dir.c_str(), &st) != 0 || st.st_uid != uid) continue;
    std::optional<std::string> exe = executableOf(dir);
    if (!exe) continue;
    std::string full;
    std::string error;
    // A host path that no Windows path spells (a memfd, a name holding ':')
    // is no program Windows would list.
    if (!getFullPath(hostToWindows(*exe), full, error)) continue;
    if (!startsWithOrdinalIgnoreCase(full, root)) continue;
    // One that is already gone is no failure of the script.
    if (stopOne(pid, full) == Stop::Refused) ++out.couldNotStop;
  }
  ::closedir(proc);
  return out;
}

}  // namespace standin
