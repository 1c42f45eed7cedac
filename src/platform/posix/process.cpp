#include "platform/process.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "common/command_line.h"
#include "common/paths.h"
#include "common/wtf8.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/fd_io.h"

namespace tl::process {

namespace {

// A start failure by the layer's one errno table, except where starting a
// program answers differently from opening a file: a path through a
// non-folder is not found, a folder is not startable, a file that is no
// program is an invalid executable, and a start the system cannot afford
// is a shortage of resources.
Error spawnError(int e) {
  switch (e) {
    case ENOTDIR:
      return Error::FileNotFound;
    case EISDIR:
      return Error::AccessDenied;
    case ENOEXEC:
      return Error::InvalidExe;
    case E2BIG:
    case EAGAIN:
      return Error::SystemResources;
    default:
      return platform::errorFromErrno(e);
  }
}

// True for an absolute path without "." or ".." components, which taken as
// text could lead elsewhere than the folders it passes through.
bool isPlainAbsolute(std::string_view path) {
  if (path.empty() || path[0] != '/') return false;
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (part == "." || part == "..") return false;
    i = j + 1;
  }
  return true;
}

// The working folder as it was reached: $PWD when it is a plain absolute
// path naming the same folder as ".", so that a folder entered through a
// link keeps that spelling (as a Windows current directory does); otherwise
// its real path.
std::string currentDirectory() {
  const char* pwd = std::getenv("PWD");
  struct stat dot{};
  struct stat named{};
  if (pwd != nullptr && isPlainAbsolute(pwd) && stat(".", &dot) == 0 && stat(pwd, &named) == 0 &&
      dot.st_dev == named.st_dev && dot.st_ino == named.st_ino) {
    return pwd;
  }
  char* real = getcwd(nullptr, 0);
  if (real == nullptr) return {};
  std::string out(real);
  std::free(real);
  return out;
}

// The folder the process started in: a relative start path is relative to
// it, whatever the process does with its working directory later.
const std::string& startDirectory() {
  static const std::string dir = currentDirectory();
  return dir;
}
[[maybe_unused]] const bool kStartDirectoryCaptured = !startDirectory().empty();

// "/a/./b//../c" -> "/a/c" without looking at the disk: the path the program
// was started by keeps its links.
std::string normaliseLexically(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (std::string_view part : parts) {
    out += '/';
    out += part;
  }
  return out.empty() ? "/" : out;
}

std::optional<std::string> linkTarget(const char* path) {
  std::string buf(PATH_MAX, '\0');
  ssize_t n = readlink(path, buf.data(), buf.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Moves a descriptor above the standard streams, so that placing pipe ends
// on 1 and 2 of the child never collides with them.
Status raiseAboveStdStreams(Fd& fd) {
  if (fd.get() >= 3) return success();
  int high = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (high < 0) return spawnError(errno);
  fd = Fd(high);
  return success();
}

Status makePipe(Fd& readEnd, Fd& writeEnd) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return spawnError(errno);
  readEnd = Fd(p[0]);
  writeEnd = Fd(p[1]);
  TRY(raiseAboveStdStreams(readEnd));
  return raiseAboveStdStreams(writeEnd);
}

// What is given for one standard stream of the child.
struct StreamSource {
  enum Kind { Inherit, Null, Descriptor } kind = Null;
  int fd = -1;
};

struct Launch {
  std::string program;  // host path
  std::vector<std::string> argv;
  std::vector<std::string> envp;
  std::string workingDirectory;  // host path, empty for the parent's
};

// Everything that would make the start fail is checked here first, so that
// a missing program is a start error and never a child that exits with 127.
Result<Launch> prepareLaunch(std::string_view program, std::string_view commandLine,
                             std::string_view workingDirectory) {
  if (!isValidWtf8(commandLine)) return Error::InvalidWtf8;
  TRY(io().checkFault(FsOp::Spawn, program));
  Launch l;
  l.program = TRY(fs::hostPath(program));
  struct stat st{};
  if (stat(l.program.c_str(), &st) != 0) return spawnError(errno);
  if (S_ISDIR(st.st_mode) || access(l.program.c_str(), X_OK) != 0) return Error::AccessDenied;
  if (!workingDirectory.empty()) {
    l.workingDirectory = TRY(fs::hostPath(workingDirectory));
    if (stat(l.workingDirectory.c_str(), &st) != 0) return spawnError(errno);
    if (!S_ISDIR(st.st_mode)) return Error::NotDir;
  }
  l.argv = splitCommandLineUtf8(commandLine);
  l.envp = env::block();
  return l;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    actionsOk_ = posix_spawn_file_actions_init(&actions_) == 0;
    attrOk_ = posix_spawnattr_init(&attr_) == 0;
  }
  ~SpawnSetup() {
    if (actionsOk_) posix_spawn_file_actions_destroy(&actions_);
    if (attrOk_) posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  bool ok() const { return actionsOk_ && attrOk_; }
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;

 private:
  bool actionsOk_ = false;
  bool attrOk_ = false;
};

Result<pid_t> startChild(Launch& l, const StreamSource (&streams)[3], bool newSession) {
  SpawnSetup s;
  if (!s.ok()) return Error::SystemResources;
  int rc = 0;
  for (int target = 0; target < 3 && rc == 0; ++target) {
    const StreamSource& src = streams[target];
    if (src.kind == StreamSource::Null) {
      rc = posix_spawn_file_actions_addopen(&s.actions_, target, "/dev/null",
                                            target == 0 ? O_RDONLY : O_WRONLY, 0);
    } else if (src.kind == StreamSource::Descriptor) {
      rc = posix_spawn_file_actions_adddup2(&s.actions_, src.fd, target);
    }
  }
  // Our own descriptors are all close-on-exec; this also keeps out any that a
  // library opened without the flag.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&s.actions_, 3);
  if (rc == 0 && !l.workingDirectory.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&s.actions_, l.workingDirectory.c_str());
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (newSession) flags |= POSIX_SPAWN_SETSID;
  if (rc == 0) rc = posix_spawnattr_setflags(&s.attr_, flags);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&s.attr_, &none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&s.attr_, &all);
  if (rc != 0) return spawnError(rc);

  std::vector<char*> argv = pointers(l.argv);
  std::vector<char*> envp = pointers(l.envp);
  pid_t pid = -1;
  rc = posix_spawn(&pid, l.program.c_str(), &s.actions_, &s.attr_, argv.data(), envp.data());
  if (rc != 0) return spawnError(rc);
  return pid;
}

Result<ExitStatus> waitForChild(pid_t pid) {
  int status = 0;
  if (platform::waitpidRetrying(pid, &status, 0) != pid) return Error::Unexpected;
  ExitStatus out;
  if (WIFEXITED(status)) {
    out.exited = true;
    out.code = static_cast<std::uint32_t>(WEXITSTATUS(status));
  }
  return out;
}

StreamSource sourceFor(StdStreams streams) {
  return {streams == StdStreams::Inherit ? StreamSource::Inherit : StreamSource::Null, -1};
}

// Reads both pipes as data arrives, so that a child filling one of them
// never blocks while we wait on the other.
Status collect(Fd& outFd, Fd& errFd, std::string& out, std::string& err, std::size_t limit) {
  char buf[65536];
  Fd* fds[2] = {&outFd, &errFd};
  std::string* sinks[2] = {&out, &err};
  for (;;) {
    pollfd pfds[2];
    int map[2];
    nfds_t n = 0;
    for (int k = 0; k < 2; ++k) {
      if (fds[k]->get() < 0) continue;
      pfds[n] = {fds[k]->get(), POLLIN, 0};
      map[n++] = k;
    }
    if (n == 0) return success();
    if (platform::pollRetrying(pfds, n, -1) < 0) return Error::ReadFailed;
    for (nfds_t i = 0; i < n; ++i) {
      if (pfds[i].revents == 0) continue;
      int k = map[i];
      const Result<std::size_t> got = platform::fdRead(fds[k]->get(), buf, sizeof buf);
      if (!got) {
        if (errno == EAGAIN) continue;
        return Error::ReadFailed;
      }
      if (*got == 0) {
        fds[k]->reset();
        continue;
      }
      if (sinks[k]->size() + *got > limit) return Error::StreamTooLong;
      sinks[k]->append(buf, *got);
    }
  }
}

// A detached child is still our child: somebody must collect its exit or it
// stays a zombie for as long as we live.
void reapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      (void)platform::waitpidRetrying(pid, &status, 0);
    }).detach();
  } catch (...) {
    // No thread to spare: the child is collected when we exit. The start
    // itself has happened and is not undone.
  }
}

std::mutex& overrideMutex() {
  static std::mutex m;
  return m;
}
std::string& ownPathOverride() {
  static std::string path;
  return path;
}

}  // namespace

Result<ExitStatus> runAndWait(std::string_view program, std::string_view commandLine,
                              const SpawnOptions& opts) {
  Launch l = TRY(prepareLaunch(program, commandLine, opts.workingDirectory));
  StreamSource s = sourceFor(opts.streams);
  pid_t pid = TRY(startChild(l, {s, s, s}, false));
  return waitForChild(pid);
}

Result<CaptureResult> runCapture(std::string_view program, std::string_view commandLine,
                                 std::size_t limit) {
  Launch l = TRY(prepareLaunch(program, commandLine, {}));
  Fd outRead, outWrite, errRead, errWrite;
  TRY(makePipe(outRead, outWrite));
  TRY(makePipe(errRead, errWrite));
  StreamSource streams[3] = {{StreamSource::Null, -1},
                             {StreamSource::Descriptor, outWrite.get()},
                             {StreamSource::Descriptor, errWrite.get()}};
  pid_t pid = TRY(startChild(l, streams, false));
  outWrite.reset();
  errWrite.reset();

  CaptureResult result;
  Status collected = collect(outRead, errRead, result.out, result.err, limit);
  if (!collected.ok()) {
    kill(pid, SIGKILL);
    outRead.reset();
    errRead.reset();
    (void)waitForChild(pid);
    return collected.error();
  }
  result.status = TRY(waitForChild(pid));
  return result;
}

Status spawnDetached(std::string_view program, std::string_view commandLine,
                     const SpawnOptions& opts) {
  Launch l = TRY(prepareLaunch(program, commandLine, opts.workingDirectory));
  StreamSource s = sourceFor(opts.streams);
  pid_t pid = TRY(startChild(l, {s, s, s}, true));
  reapInBackground(pid);
  return success();
}

Result<std::string> ownExecutablePath() {
  {
    std::lock_guard<std::mutex> lock(overrideMutex());
    if (!ownPathOverride().empty()) return ownPathOverride();
  }
  const char* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (started != nullptr && *started != '\0') {
    std::string path(started);
    if (path[0] == '/') return fs::windowsPath(normaliseLexically(path));
    if (!startDirectory().empty()) {
      return fs::windowsPath(normaliseLexically(startDirectory() + "/" + path));
    }
  }
  std::optional<std::string> exe = linkTarget("/proc/self/exe");
  if (!exe) return Error::FileNotFound;
  return fs::windowsPath(*exe);
}

void setOwnExecutablePathForTesting(std::string path) {
  std::lock_guard<std::mutex> lock(overrideMutex());
  ownPathOverride() = std::move(path);
}

Result<std::string> systemDirectory() {
  // An empty SystemRoot names no folder; the stand-in folder serves then too.
  std::optional<std::string> root = env::get("SystemRoot");
  if (root && !root->empty()) {
    // Tools are only ever started by absolute path; a relative SystemRoot
    // would have them looked up from the working directory.
    if (!isAbsolutePath(*root) || isDriveRelativePath(*root)) return Error::InvalidPath;
    std::string dir = *root;
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    return dir + "System32";
  }
  std::optional<std::string> exe = linkTarget("/proc/self/exe");
  if (!exe) return Error::FileNotFound;
  std::size_t slash = exe->rfind('/');
  std::string folder = exe->substr(0, slash == 0 ? 1 : slash);
  if (folder.back() != '/') folder += '/';
  return fs::windowsPath(folder + "windows/System32");
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::u16string commandLineFromArgv(int argc, const char* const* argv) {
  std::vector<std::u16string> args;
  args.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0);
  for (int i = 0; i < argc; ++i) args.push_back(hostBytesToUtf16(argv[i]));
  return buildCommandLineUtf16(args);
}

}  // namespace tl::process
