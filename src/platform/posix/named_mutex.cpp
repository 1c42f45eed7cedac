#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <thread>

#include "common/ascii_case.h"
#include "platform/io_context.h"

// A named mutex is a lock file under /tmp/tamberlock-mutex-<uid>/ held with
// flock(LOCK_EX). flock belongs to the open file description, so every
// acquiring thread opens its own descriptor; the kernel drops the lock when
// the holder dies, which is the "abandoned" case. The first byte of the file
// is 1 while somebody holds the mutex, so the next holder can tell an
// orderly release from an abandoned one.

namespace tl::platform {

namespace {

constexpr std::uint64_t kPollMs = 10;
constexpr char kHeld = '1';
constexpr char kFree = '0';

struct Holder {
  std::thread::id owner;
  int count = 0;
  int fd = -1;
};

struct Table {
  std::mutex mutex;
  std::map<std::string, Holder, std::less<>> held;
  std::string folderParent = "/tmp";
};

Table& table() {
  static Table t;
  return t;
}

Result<std::string_view> localName(std::string_view name) {
  constexpr std::string_view kPrefix = "Local\\";
  if (name.size() >= kPrefix.size() && asciiEqualIgnoreCase(name.substr(0, kPrefix.size()), kPrefix)) {
    name.remove_prefix(kPrefix.size());
  }
  if (name.empty() || name == "." || name == "..") return Error::BadPathName;
  if (name.size() > 255) return Error::NameTooLong;
  if (name.find_first_of(std::string_view("\\/\0", 3)) != std::string_view::npos) {
    return Error::BadPathName;
  }
  return name;
}

void closeFd(int fd) {
  if (fd >= 0) ::close(fd);
}

// The per-user lock folder. Anybody may create names in /tmp, so a folder
// that another user made, that others may write into, or a link there in its
// place is refused rather than used.
Result<int> openLockFolder() {
  std::string parent;
  {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    parent = t.folderParent;
  }
  uid_t uid = geteuid();
  std::string path = parent + "/tamberlock-mutex-" + std::to_string(uid);
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return errno == EACCES ? Error::AccessDenied : Error::UninstallLockFailed;
  }
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Error::AccessDenied;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 0077) != 0) {
    closeFd(fd);
    return Error::AccessDenied;
  }
  return fd;
}

Result<int> openLockFile(std::string_view name) {
  int dir = TRY(openLockFolder());
  std::string file(name);
  int fd = openat(dir, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  closeFd(dir);
  if (fd < 0) return Error::AccessDenied;
  return fd;
}

bool lockOnce(int fd, bool block) {
  for (;;) {
    if (flock(fd, LOCK_EX | (block ? 0 : LOCK_NB)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void writeMarker(int fd, char c) { (void)!pwrite(fd, &c, 1, 0); }

// Undoes n acquisitions of the named mutex; unlocks at zero. The entry goes
// before the descriptor closes, so the next thread to get the lock finds
// the table free.
bool releaseHeld(const std::string& name, int n, bool callerMustOwn) {
  Table& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.held.find(name);
  if (it == t.held.end()) return false;
  if (callerMustOwn && it->second.owner != std::this_thread::get_id()) return false;
  it->second.count -= n;
  if (it->second.count > 0) return true;
  int fd = it->second.fd;
  t.held.erase(it);
  writeMarker(fd, kFree);
  closeFd(fd);
  return true;
}

}  // namespace

void setMutexFolderParentForTesting(std::string hostFolder) {
  Table& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.folderParent = hostFolder.empty() ? "/tmp" : std::move(hostFolder);
}

NamedMutex::NamedMutex(NamedMutex&& o) noexcept
    : name_(std::move(o.name_)), valid_(o.valid_), heldCount_(o.heldCount_) {
  o.valid_ = false;
  o.heldCount_ = 0;
  o.name_.clear();
}

NamedMutex& NamedMutex::operator=(NamedMutex&& o) noexcept {
  if (this != &o) {
    close();
    name_ = std::move(o.name_);
    valid_ = o.valid_;
    heldCount_ = o.heldCount_;
    o.valid_ = false;
    o.heldCount_ = 0;
    o.name_.clear();
  }
  return *this;
}

NamedMutex::~NamedMutex() { close(); }

Result<NamedMutex> NamedMutex::create(std::string_view name) {
  std::string_view local = TRY(localName(name));
  // Creating the object makes the lock file exist, as CreateMutexW makes
  // the mutex exist; problems with the folder show here, not at the wait.
  int fd = TRY(openLockFile(local));
  closeFd(fd);
  NamedMutex m;
  m.name_ = std::string(local);
  m.valid_ = true;
  return m;
}

WaitResult NamedMutex::wait(std::uint32_t timeoutMs) {
  if (!valid_) return WaitResult::Failed;
  Table& t = table();
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.held.find(name_);
    if (it != t.held.end() && it->second.owner == self) {
      ++it->second.count;
      ++heldCount_;
      return WaitResult::Acquired;
    }
  }

  Result<int> opened = openLockFile(name_);
  if (!opened.ok()) return WaitResult::Failed;
  int fd = *opened;
  if (timeoutMs == kInfinite) {
    if (!lockOnce(fd, true)) {
      closeFd(fd);
      return WaitResult::Failed;
    }
  } else {
    const std::uint64_t deadline = io().nowMs() + timeoutMs;
    while (!lockOnce(fd, false)) {
      bool busy = errno == EWOULDBLOCK;
      std::uint64_t now = io().nowMs();
      if (!busy || now >= deadline) {
        closeFd(fd);
        return busy ? WaitResult::Timeout : WaitResult::Failed;
      }
      std::uint64_t left = deadline - now;
      io().sleepMs(left < kPollMs ? left : kPollMs);
    }
  }

  char marker = kFree;
  bool abandoned = pread(fd, &marker, 1, 0) == 1 && marker == kHeld;
  writeMarker(fd, kHeld);
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    t.held.insert_or_assign(name_, Holder{self, 1, fd});
    ++heldCount_;
  }
  return abandoned ? WaitResult::Abandoned : WaitResult::Acquired;
}

// Only acquisitions made through this handle are released through it, so
// that closing a handle can give back exactly what it still holds.
void NamedMutex::release() {
  if (!valid_ || heldCount_ == 0) return;
  if (releaseHeld(name_, 1, true)) --heldCount_;
}

void NamedMutex::close() {
  if (valid_ && heldCount_ > 0) releaseHeld(name_, heldCount_, false);
  heldCount_ = 0;
  valid_ = false;
  name_.clear();
}

}  // namespace tl::platform
