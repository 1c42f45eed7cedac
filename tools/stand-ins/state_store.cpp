#include "state_store.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "environment.h"
#include "standin_error.h"
#include "text.h"
#include "win_path.h"

namespace standin {

namespace {

std::string& invokedPath() {
  static std::string path;
  return path;
}

std::string errnoText() { return std::strerror(errno); }

void makeDirs(const std::string& path) {
  std::size_t pos = 1;
  while (true) {
    std::size_t slash = path.find('/', pos);
    std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      throw Refusal("cannot create state folder " + part + ": " + errnoText());
    }
    if (slash == std::string::npos) return;
    pos = slash + 1;
  }
}

std::string findStateDir() {
  if (std::optional<std::string> root = envGet("SystemRoot"); root && !root->empty()) {
    if (std::optional<std::string> host = toHostPath(*root)) return (*host == "/" ? "" : *host) + "/state";
    throw Refusal("SystemRoot names no host folder: " + *root);
  }
  // Without SystemRoot the system uses the folder the build lays out,
  // <dir>\System32; the state then lives in <dir>\state.
  std::string started = invokedPath();
  if (const char* execfn = reinterpret_cast<const char*>(::getauxval(AT_EXECFN))) started = execfn;
  std::optional<std::string> host = toHostPath(started);
  if (host) {
    std::string dir = *host;
    while (true) {
      std::size_t slash = dir.find_last_of('/');
      if (slash == std::string::npos || slash == 0) break;
      std::string_view name = std::string_view(dir).substr(slash + 1);
      dir.resize(slash);
      if (equalsAsciiIgnoreCase(name, "System32")) return dir + "/state";
    }
  }
  throw Refusal("SystemRoot is not set and the stand-in was not started from a System32 folder");
}

}  // namespace

void setInvokedPath(std::string path) { invokedPath() = std::move(path); }

namespace {
bool stateDirFound = false;
}  // namespace

const std::string& stateDir() {
  static const std::string dir = [] {
    std::string d = findStateDir();
    makeDirs(d);
    return d;
  }();
  stateDirFound = true;
  return dir;
}

bool stateDirKnown() { return stateDirFound; }

std::string statePath(std::string_view name) { return stateDir() + "/" + std::string(name); }

StateLock::StateLock() {
  std::string path = statePath(".lock");
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) throw Refusal("cannot open " + path + ": " + errnoText());
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) throw Refusal("cannot lock " + path + ": " + errnoText());
  }
}

StateLock::~StateLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> readHostFile(const std::string& hostPath) {
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw ToolFailure(1, "cannot open " + hostPath + ": " + errnoText());
  }
  std::string out;
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      throw ToolFailure(1, "cannot read " + hostPath + ": " + errnoText());
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

namespace {

void writeAll(int fd, std::string_view content, const std::string& what) {
  while (!content.empty()) {
    ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ToolFailure(1, "cannot write " + what + ": " + errnoText());
    content.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void writeHostFileAtomically(const std::string& hostPath, std::string_view content) {
  static std::mt19937_64 rng{std::random_device{}()};
  std::size_t slash = hostPath.find_last_of('/');
  std::string dir = slash == 0 ? "/" : hostPath.substr(0, slash);
  char name[64];
  std::snprintf(name, sizeof name, "/.standin-%d-%016llx.tmp", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(rng()));
  std::string tmp = (dir == "/" ? "" : dir) + name;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw ToolFailure(1, "cannot create " + tmp + ": " + errnoText());
  try {
    writeAll(fd, content, tmp);
    if (::fsync(fd) != 0) throw ToolFailure(1, "cannot sync " + tmp + ": " + errnoText());
  } catch (...) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), hostPath.c_str()) != 0) {
    std::string why = errnoText();
    ::unlink(tmp.c_str());
    throw ToolFailure(1, "cannot replace " + hostPath + ": " + why);
  }
}

void appendHostFile(const std::string& hostPath, std::string_view content) {
  int fd = ::open(hostPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) throw Refusal("cannot open " + hostPath + ": " + errnoText());
  try {
    writeAll(fd, content, hostPath);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}

}  // namespace standin
