#include "process_stop.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

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

}  // namespace

int stopProcessesUnder(const std::string& root) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  const pid_t self = ::getpid();
  const uid_t uid = ::getuid();
  int signalled = 0;
  while (dirent* e = ::readdir(proc)) {
    std::string_view name = e->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) continue;
    pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
    if (pid == self) continue;
    std::string dir = "/proc/" + std::string(name);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || st.st_uid != uid) continue;
    std::optional<std::string> exe = executableOf(dir);
    if (!exe) continue;
    std::string full;
    std::string error;
    if (!getFullPath(hostToWindows(*exe), full, error)) continue;
    if (!startsWithOrdinalIgnoreCase(full, root)) continue;
    if (::kill(pid, SIGKILL) == 0) ++signalled;
  }
  ::closedir(proc);
  return signalled;
}

}  // namespace standin
