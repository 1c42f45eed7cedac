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
#include "platform/posix/fd_io.h"

// A named mutex is a lock file under /tmp/tamberlock-mutex-<uid>/ held with
// flock(LOCK_EX). flock belongs to the open file description, so every
// acquiring thread opens its own descriptor; the kernel drops the lock when
// the holder dies, which is the "abandoned" case. The first byte of the file
// is 1 while somebody holds the mutex, so the next holder can tell an
// orderly release from an abandoned one.
//
// An orderly release removes the lock file (and the folder once it is
// empty), so that names do not pile up. The holder unlinks the file while
// it still has it locked; a waiter that had opened the file before then
// gets the lock of a file that no longer has the name, sees that, and
// starts over with whatever the name means now. So the mutex is always the
// lock of the file the name currently leads to.

namespace tl::platform {

namespace {

constexpr std::uint64_t kPollMs = 10;
constexpr char kHeld = '1';
constexpr char kFree = '0';
// Each start-over means another process released the mutex or removed the
// folder meanwhile; this many in a row only happens if something is wrong.
constexpr int kMaxStartOvers = 100000;

struct Holder {
  std::thread::id owner;
  int count = 0;
  int fd = -1;
  int folderFd = -1;
  std::string folder;
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

struct LockFolder {
  int fd = -1;
  std::string path;
};

// The per-user lock folder. Anybody may create names in /tmp, so a folder
// that another user made, that others may write into, or a link there in its
// place is refused rather than used. A folder that vanishes between making
// and opening it was emptied and removed by a release: make it again.
Result<LockFolder> openLockFolder() {
  LockFolder folder;
  {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    folder.path = t.folderParent;
  }
  uid_t uid = geteuid();
  folder.path += "/tamberlock-mutex-" + std::to_string(uid);
  for (int attempt = 0; attempt < kMaxStartOvers; ++attempt) {
    if (mkdir(folder.path.c_str(), 0700) != 0 && errno != EEXIST) {
      return errno == EACCES ? Error::AccessDenied : Error::UninstallLockFailed;
    }
    folder.fd = open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder.fd < 0 && errno == ENOENT) continue;
    if (folder.fd < 0) return Error::AccessDenied;
    struct stat st{};
    if (fstat(folder.fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 0077) != 0) {
      closeFd(folder.fd);
      return Error::AccessDenied;
    }
    return folder;
  }
  return Error::UninstallLockFailed;
}

// rmdir succeeds only on an empty folder, so a folder somebody is using stays.
void removeFolderIfEmpty(const std::string& path) { (void)rmdir(path.c_str()); }

bool lockOnce(int fd, bool block) { return platform::flockRetrying(fd, LOCK_EX | (block ? 0 : LOCK_NB)) == 0; }

// Whether the name in the folder still leads to the open file.
bool stillNamed(int folderFd, const std::string& name, int fd) {
  struct stat byName{};
  struct stat opened{};
  return fstatat(folderFd, name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &opened) == 0 &&
         byName.st_dev == opened.st_dev && byName.st_ino == opened.st_ino;
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
  Holder h = std::move(it->second);
  t.held.erase(it);
  // The marker first: should the removal fail, the file still says that
  // this release was orderly. The name goes while the file is locked.
  writeMarker(h.fd, kFree);
  (void)unlinkat(h.folderFd, name.c_str(), 0);
  closeFd(h.fd);
  closeFd(h.folderFd);
  removeFolderIfEmpty(h.folder);
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
  // Problems with the lock folder show here, as CreateMutexW's do, not at
  // the wait. The lock file itself is made by the first waiter, so that a
  // mutex nobody waits for leaves nothing behind.
  LockFolder folder = TRY(openLockFolder());
  closeFd(folder.fd);
  removeFolderIfEmpty(folder.path);
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

  const std::uint64_t deadline = io().nowMs() + timeoutMs;
  for (int attempt = 0; attempt < kMaxStartOvers; ++attempt) {
    Result<LockFolder> opened = openLockFolder();
    if (!opened.ok()) return WaitResult::Failed;
    LockFolder folder = opened.take();
    int fd = openat(folder.fd, name_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      bool folderGone = errno == ENOENT;
      closeFd(folder.fd);
      if (folderGone) continue;
      return WaitResult::Failed;
    }
    auto giveUp = [&](WaitResult r) {
      closeFd(fd);
      closeFd(folder.fd);
      return r;
    };
    if (timeoutMs == kInfinite) {
      if (!lockOnce(fd, true)) return giveUp(WaitResult::Failed);
    } else {
      while (!lockOnce(fd, false)) {
        bool busy = errno == EWOULDBLOCK;
        std::uint64_t now = io().nowMs();
        if (!busy || now >= deadline) return giveUp(busy ? WaitResult::Timeout : WaitResult::Failed);
        std::uint64_t left = deadline - now;
        io().sleepMs(left < kPollMs ? left : kPollMs);
      }
    }
    if (!stillNamed(folder.fd, name_, fd)) {
      // Released and removed while this thread waited: the name leads to
      // another file now (or nowhere), whose lock is the mutex.
      giveUp(WaitResult::Failed);
      continue;
    }

    char marker = kFree;
    bool abandoned = pread(fd, &marker, 1, 0) == 1 && marker == kHeld;
    writeMarker(fd, kHeld);
    {
      std::lock_guard<std::mutex> lock(t.mutex);
      t.held.insert_or_assign(name_, Holder{self, 1, fd, folder.fd, std::move(folder.path)});
      ++heldCount_;
    }
    return abandoned ? WaitResult::Abandoned : WaitResult::Acquired;
  }
  return WaitResult::Failed;
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
