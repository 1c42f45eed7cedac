#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/io_context.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/fd_io.h"
#include "platform/posix/folded_names.h"
#include "platform/posix/handle_access.h"
#include "platform/posix/path_map.h"

namespace tl::fs {

using detail::FoldedMatch;
using detail::FoldedNames;
using detail::FolderStamp;
using platform::lastError;

// --- handles -------------------------------------------------------------

void Handle::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Handle& Handle::operator=(Handle&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

namespace {

int fdOf(const Handle& h) { return HandleAccess::fd(h); }
Dir dirFrom(int fd) { return HandleAccess::dir(fd); }
File fileFrom(int fd) { return HandleAccess::file(fd); }

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// A folder used only as the base of further lookups; needs no read right.
constexpr int kPathDirFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

FileKind kindOf(mode_t m) {
  switch (m & S_IFMT) {
    case S_IFREG: return FileKind::File;
    case S_IFDIR: return FileKind::Directory;
    case S_IFLNK: return FileKind::SymLink;
    case S_IFBLK: return FileKind::BlockDevice;
    case S_IFCHR: return FileKind::CharacterDevice;
    case S_IFIFO: return FileKind::NamedPipe;
    case S_IFSOCK: return FileKind::UnixDomainSocket;
    default: return FileKind::Unknown;
  }
}

FileStat toStat(const struct stat& st) {
  FileStat s;
  s.kind = kindOf(st.st_mode);
  s.size = static_cast<std::uint64_t>(st.st_size);
  s.fileIndex = static_cast<std::uint64_t>(st.st_ino);
  s.volume = static_cast<std::uint64_t>(st.st_dev);
  s.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  return s;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A single component below a handle. '\' and '/' would make it a path, ".."
// would leave the folder; "." is the folder itself where allowed.
Status checkName(std::string_view name, bool allowDot) {
  if (name.empty() || name == ".." || (name == "." && !allowDot)) return Error::BadPathName;
  if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
    return Error::BadPathName;
  }
  return success();
}

Status fault(FsOp op, std::string_view path) { return io().checkFault(op, path); }

// Runs fn(name); when that finds nothing, runs it again with the one entry
// whose name equals name ignoring ASCII case. Several such entries make the
// name ambiguous: BadPathName rather than a guess.
template <typename Fn>
auto withFolding(int dirfd, std::string_view name, Fn fn) -> decltype(fn(std::string())) {
  std::string exact(name);
  auto r = fn(exact);
  if (r.ok() || r.error() != Error::FileNotFound || name == ".") return r;
  auto m = FoldedNames::shared().find(dirfd, name);
  if (!m.ok()) return m.error();
  switch (m->kind) {
    case FoldedMatch::Kind::None: return r;
    case FoldedMatch::Kind::Many: return Error::BadPathName;
    case FoldedMatch::Kind::One: break;
  }
  if (m->name == exact) return r;  // appeared meanwhile with the exact case
  return fn(m->name);
}

// How a name stands in a folder, links not followed.
struct Found {
  bool exists = false;
  std::string name;    // the entry's real name when it exists, else as asked
  struct stat st {};   // when it exists
  FolderStamp folder;  // when it does not: the folder state that showed it
};

// Requires the FoldedNames lock when the answer guards a change.
Result<Found> findName(int dirfd, std::string_view name) {
  Found f;
  f.name.assign(name);
  if (::fstatat(dirfd, f.name.c_str(), &f.st, AT_SYMLINK_NOFOLLOW) == 0) {
    f.exists = true;
    return f;
  }
  if (errno != ENOENT) return lastError();
  FoldedMatch m = TRY(FoldedNames::shared().find(dirfd, name));
  f.folder = m.folder;
  if (m.kind == FoldedMatch::Kind::Many) return Error::BadPathName;
  if (m.kind == FoldedMatch::Kind::None) return f;
  if (::fstatat(dirfd, m.name.c_str(), &f.st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return lastError();
    f.folder = TRY(detail::folderStamp(dirfd));
    return f;
  }
  f.exists = true;
  f.name = std::move(m.name);
  return f;
}

// --- path resolution -------------------------------------------------------

// Opens a folder below base as a lookup base, following a link.
Result<Dir> enterFolder(int base, const std::string& name) {
  int f = ::openat(base, name.c_str(), kPathDirFlags);
  if (f < 0) return lastError();
  return dirFrom(f);
}

// Opens the folder named by the first n components from the root as a
// lookup base. Links on the way are followed, as a path lookup does; a
// component missing with its exact case is matched ignoring case.
Result<Dir> openFolderPath(const std::vector<std::string>& comps, std::size_t n) {
  int fd = ::open(detail::joinHost(comps, n).c_str(), kPathDirFlags);
  if (fd >= 0) return dirFrom(fd);
  if (errno != ENOENT) return lastError();
  Dir cur = dirFrom(::open("/", kPathDirFlags));
  if (!cur.valid()) return lastError();
  for (std::size_t i = 0; i < n; ++i) {
    int base = fdOf(cur);
    cur = TRY(withFolding(base, comps[i], [base](const std::string& nm) { return enterFolder(base, nm); }));
  }
  return cur;
}

// A path split into its folder (open as a lookup base) and its last name;
// the root is the root folder with the name ".".
struct Located {
  Dir parent;
  std::string name;
};

Result<Located> locate(std::string_view path) {
  auto comps = TRY(detail::hostComponents(path));
  Located loc;
  if (comps.empty()) {
    loc.parent = dirFrom(::open("/", kPathDirFlags));
    if (!loc.parent.valid()) return lastError();
    loc.name = ".";
    return loc;
  }
  loc.parent = TRY(openFolderPath(comps, comps.size() - 1));
  loc.name = std::move(comps.back());
  return loc;
}

// The public forms: the fault seam, then fn(folder, name) on the path's
// folder and last name, or on the handle and a checked single name. The
// root has no name of its own; rootError is what an operation that needs
// one gives for it.
template <typename Fn>
auto onPath(FsOp op, std::string_view path, Error rootError, Fn fn)
    -> decltype(fn(0, std::string_view())) {
  TRY(fault(op, path));
  Located loc = TRY(locate(path));
  if (loc.name == "." && rootError != Error::Unexpected) return rootError;
  return fn(fdOf(loc.parent), loc.name);
}

constexpr Error kRootAllowed = Error::Unexpected;

template <typename Fn>
auto onName(FsOp op, const Dir& dir, std::string_view name, bool allowDot, Fn fn)
    -> decltype(fn(0, std::string_view())) {
  TRY(checkName(name, allowDot));
  TRY(fault(op, name));
  return fn(fdOf(dir), name);
}

// --- operations below a handle, without the fault seam ----------------------

Result<FileStat> statIn(int dirfd, std::string_view name, bool follow) {
  return withFolding(dirfd, name, [&](const std::string& nm) -> Result<FileStat> {
    struct stat st {};
    if (::fstatat(dirfd, nm.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return lastError();
    return toStat(st);
  });
}

// A link at name is refused with NotDir unless follow is set: a link is not a
// folder, whatever it points at. A folder that may be passed through but not
// listed is still opened (listing it then fails).
Result<Dir> openDirIn(int dirfd, std::string_view name, bool follow) {
  return withFolding(dirfd, name, [&](const std::string& nm) -> Result<Dir> {
    int flags = kDirFlags | (follow ? 0 : O_NOFOLLOW);
    int fd = ::openat(dirfd, nm.c_str(), flags);
    if (fd < 0 && errno == EACCES) fd = ::openat(dirfd, nm.c_str(), (flags & ~O_ACCMODE) | O_PATH);
    if (fd < 0) {
      if (errno == ELOOP && !follow) return Error::NotDir;
      return lastError();
    }
    return dirFrom(fd);
  });
}

// Read-only, never following a link at name and never blocking: a link is
// opened as itself, a FIFO or device with O_NONBLOCK, a socket as a path.
Result<File> openReadIn(int dirfd, std::string_view name) {
  return withFolding(dirfd, name, [&](const std::string& nm) -> Result<File> {
    int fd = ::openat(dirfd, nm.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && (errno == ELOOP || errno == ENXIO)) {
      fd = ::openat(dirfd, nm.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) return lastError();
    return fileFrom(fd);
  });
}

// Read-only through a link at name, as reading a file by its path does;
// never blocks on a FIFO or device (callers refuse those by their kind).
Result<File> openFollowRead(int dirfd, std::string_view name) {
  return withFolding(dirfd, name, [dirfd](const std::string& nm) -> Result<File> {
    int fd = ::openat(dirfd, nm.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return lastError();
    return fileFrom(fd);
  });
}

// Creates or opens name for writing. A name that differs only in case from
// an existing entry is that entry.
Result<File> createIn(int dirfd, std::string_view name, bool exclusive, bool truncate, bool follow) {
  auto guard = FoldedNames::shared().lock();
  Found f = TRY(findName(dirfd, name));
  int flags = O_RDWR | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  if (f.exists) {
    if (exclusive) return Error::PathAlreadyExists;
    int fd = ::openat(dirfd, f.name.c_str(), flags | (truncate ? O_TRUNC : 0));
    if (fd < 0) return lastError();
    return fileFrom(fd);
  }
  int fd = ::openat(dirfd, f.name.c_str(), flags | O_CREAT | O_EXCL, 0777);
  if (fd < 0) return lastError();
  FoldedNames::shared().changed(dirfd, f.folder, {}, f.name);
  return fileFrom(fd);
}

Status makeDirIn(int dirfd, std::string_view name) {
  auto guard = FoldedNames::shared().lock();
  Found f = TRY(findName(dirfd, name));
  if (f.exists) return Error::PathAlreadyExists;
  if (::mkdirat(dirfd, f.name.c_str(), 0777) != 0) return lastError();
  FoldedNames::shared().changed(dirfd, f.folder, {}, f.name);
  return success();
}

// Removes an entry found by findName and tells the cache.
Status unlinkFound(int dirfd, const std::string& name, int flags) {
  auto guard = FoldedNames::shared().lock();
  FolderStamp before = TRY(detail::folderStamp(dirfd));
  if (::unlinkat(dirfd, name.c_str(), flags) != 0) {
    if (errno == EEXIST) return Error::DirNotEmpty;  // some file systems say so for rmdir
    return lastError();
  }
  FoldedNames::shared().changed(dirfd, before, name, {});
  return success();
}

Status deleteFileIn(int dirfd, std::string_view name) {
  auto guard = FoldedNames::shared().lock();
  Found f = TRY(findName(dirfd, name));
  if (!f.exists) return Error::FileNotFound;
  if (S_ISDIR(f.st.st_mode)) return Error::IsDir;
  return unlinkFound(dirfd, f.name, 0);
}

Status deleteDirIn(int dirfd, std::string_view name) {
  auto guard = FoldedNames::shared().lock();
  Found f = TRY(findName(dirfd, name));
  if (!f.exists) return Error::FileNotFound;
  if (!S_ISDIR(f.st.st_mode)) return Error::NotDir;
  return unlinkFound(dirfd, f.name, AT_REMOVEDIR);
}

struct ListedName {
  std::string name;
  unsigned char type;
};

Result<std::vector<ListedName>> listNames(int dirfd) {
  int fd = ::openat(dirfd, ".", kDirFlags);
  if (fd < 0) return lastError();
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    Error e = lastError();
    ::close(fd);
    return e;
  }
  std::vector<ListedName> out;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) break;
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    out.push_back({std::string(n), e->d_type});
  }
  int err = errno;
  ::closedir(d);
  if (err != 0) return platform::errorFromErrno(err);
  return out;
}

bool isDirEntry(int dirfd, const ListedName& e, bool* gone) {
  *gone = false;
  if (e.type != DT_UNKNOWN) return e.type == DT_DIR;
  struct stat st {};
  if (::fstatat(dirfd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *gone = errno == ENOENT;
    return false;
  }
  return S_ISDIR(st.st_mode);
}

// Empties the folder open at dirfd. Links are removed as themselves; a name
// that vanishes meanwhile counts as removed. Only the folder being emptied
// is held open, so the depth of the tree is not limited by the number of
// descriptors: going back up reopens ".." and checks it is the folder we
// came from.
Status removeContents(int dirfd) {
  struct Frame {
    std::vector<ListedName> names;
    std::size_t next = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string nameInParent;
  };
  auto frameOf = [](int fd, std::string nameInParent) -> Result<Frame> {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return lastError();
    Frame f;
    f.names = TRY(listNames(fd));
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    f.nameInParent = std::move(nameInParent);
    return f;
  };
  Dir cur = dirFrom(::openat(dirfd, ".", kDirFlags));
  if (!cur.valid()) return lastError();
  std::vector<Frame> stack;
  stack.push_back(TRY(frameOf(fdOf(cur), {})));
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.names.size()) {
      const ListedName& e = top.names[top.next++];
      bool gone = false;
      bool isDir = isDirEntry(fdOf(cur), e, &gone);
      if (gone) continue;
      if (isDir) {
        Dir child = dirFrom(::openat(fdOf(cur), e.name.c_str(), kDirFlags | O_NOFOLLOW));
        if (child.valid()) {
          Frame next = TRY(frameOf(fdOf(child), e.name));
          cur = std::move(child);
          stack.push_back(std::move(next));
          continue;
        }
        if (errno == ENOENT) continue;
        if (errno != ELOOP && errno != ENOTDIR) return lastError();
        // Replaced by a file or link since the listing: removed as itself.
      }
      if (::unlinkat(fdOf(cur), e.name.c_str(), 0) != 0 && errno != ENOENT) return lastError();
      continue;
    }
    if (stack.size() == 1) break;
    std::string emptied = std::move(top.nameInParent);
    stack.pop_back();
    Dir parent = dirFrom(::openat(fdOf(cur), "..", kDirFlags));
    if (!parent.valid()) return lastError();
    struct stat st {};
    if (::fstat(fdOf(parent), &st) != 0) return lastError();
    if (st.st_dev != stack.back().dev || st.st_ino != stack.back().ino) {
      return Error::Unexpected;  // the tree was moved while being deleted
    }
    cur = std::move(parent);
    if (::unlinkat(fdOf(cur), emptied.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) return lastError();
  }
  return success();
}

// Deletes name below dirfd with everything in it. Missing counts as deleted.
// A name that is not a folder is removed when allowFile is set, else NotDir.
Status deleteTreeIn(int dirfd, std::string_view name, bool allowFile) {
  Found f;
  {
    auto guard = FoldedNames::shared().lock();
    f = TRY(findName(dirfd, name));
  }
  if (!f.exists) return success();
  if (!S_ISDIR(f.st.st_mode)) {
    if (!allowFile) return Error::NotDir;
    Status s = unlinkFound(dirfd, f.name, 0);
    if (!s.ok() && s.error() == Error::FileNotFound) return success();
    return s;
  }
  {
    Dir child = dirFrom(::openat(dirfd, f.name.c_str(), kDirFlags | O_NOFOLLOW));
    if (!child.valid()) {
      if (errno == ENOENT) return success();
      return lastError();
    }
    TRY(removeContents(fdOf(child)));
  }
  Status s = unlinkFound(dirfd, f.name, AT_REMOVEDIR);
  if (!s.ok() && s.error() == Error::FileNotFound) return success();
  return s;
}

Status symlinkIn(int dirfd, std::string_view name, std::string_view target) {
  if (target.find('\0') != std::string_view::npos) return Error::BadPathName;
  auto guard = FoldedNames::shared().lock();
  Found f = TRY(findName(dirfd, name));
  if (f.exists) return Error::PathAlreadyExists;
  if (::symlinkat(std::string(target).c_str(), dirfd, f.name.c_str()) != 0) return lastError();
  FoldedNames::shared().changed(dirfd, f.folder, {}, f.name);
  return success();
}

// Renames an entry between two folders with the replace rules: a file
// replaces a file (or link); nothing replaces a folder and a folder replaces
// nothing (PathAlreadyExists). A destination differing only in case from an
// existing entry is that entry; renaming an entry to another spelling of its
// own name changes the spelling.
Status renameIn(int fromDir, std::string_view fromName, int toDir, std::string_view toName) {
  auto guard = FoldedNames::shared().lock();
  Found from = TRY(findName(fromDir, fromName));
  if (!from.exists) return Error::FileNotFound;
  Found to = TRY(findName(toDir, toName));
  FolderStamp fromBefore = TRY(detail::folderStamp(fromDir));
  FolderStamp toBefore = TRY(detail::folderStamp(toDir));
  bool sameFolder = fromBefore.dev == toBefore.dev && fromBefore.ino == toBefore.ino;
  std::string target = to.name;
  unsigned flags = RENAME_NOREPLACE;
  if (to.exists) {
    if (sameFolder && to.name == from.name) {
      if (toName == from.name) return success();  // the very same name
      target.assign(toName);                       // new spelling only
    } else if (S_ISDIR(to.st.st_mode) || S_ISDIR(from.st.st_mode)) {
      return Error::PathAlreadyExists;
    } else if (sameFile(from.st, to.st)) {
      // Two names of one file: the host's rename would do nothing at all.
      return unlinkFound(fromDir, from.name, 0);
    } else {
      flags = 0;  // a file replaces a file
    }
  }
  if (::renameat2(fromDir, from.name.c_str(), toDir, target.c_str(), flags) != 0) return lastError();
  auto& cache = FoldedNames::shared();
  if (sameFolder) {
    cache.changed(fromDir, fromBefore, from.name, target);
  } else {
    cache.changed(fromDir, fromBefore, from.name, {});
    cache.changed(toDir, toBefore, {}, target);
  }
  return success();
}

Status hardLinkIn(int fileFd, int dirfd, std::string_view name) {
  auto guard = FoldedNames::shared().lock();
  Found f = TRY(findName(dirfd, name));
  if (f.exists) return Error::PathAlreadyExists;
  std::string source = "/proc/self/fd/" + std::to_string(fileFd);
  if (platform::linkatRetrying(AT_FDCWD, source.c_str(), dirfd, f.name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    return lastError();
  }
  FoldedNames::shared().changed(dirfd, f.folder, {}, f.name);
  return success();
}

Result<std::size_t> readSome(int fd, void* buf, std::size_t n, std::optional<std::uint64_t> offset) {
  if (io().canceled()) return Error::Canceled;
  return platform::fdRead(fd, buf, n, offset);
}

// Copies the rest of src into dst: in the kernel where it can, else through
// a buffer.
Status copyBytes(int src, int dst) {
  bool kernel = true;
  for (;;) {
    const ssize_t n = platform::copyFileRangeRetrying(src, dst, 1u << 30);
    if (n == 0) return success();
    if (n > 0) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
      kernel = false;
      break;
    }
    return lastError();
  }
  if (kernel) return success();
  std::string buf(1 << 16, '\0');
  for (;;) {
    const std::size_t n = TRY(platform::fdRead(src, buf.data(), buf.size()));
    if (n == 0) return success();
    TRY(platform::fdWriteAll(dst, buf.data(), n));
  }
}

}  // namespace

// --- path form -------------------------------------------------------------

Result<std::string> hostPath(std::string_view path) {
  auto comps = TRY(detail::hostComponents(path));
  std::string exact = detail::joinHost(comps, comps.size());
  struct stat st {};
  if (::lstat(exact.c_str(), &st) == 0) return exact;
  // Correct the case of the part that exists; the rest stays as given.
  std::vector<std::string> out;
  Dir cur = dirFrom(::open("/", kPathDirFlags));
  for (std::size_t i = 0; i < comps.size(); ++i) {
    if (!cur.valid()) {
      out.push_back(comps[i]);
      continue;
    }
    Found f = TRY(findName(fdOf(cur), comps[i]));
    out.push_back(f.exists ? f.name : comps[i]);
    if (f.exists && i + 1 < comps.size()) {
      cur = dirFrom(::openat(fdOf(cur), f.name.c_str(), kPathDirFlags));
    } else {
      cur.close();
    }
  }
  return detail::joinHost(out, out.size());
}

std::string windowsPath(std::string_view hostAbsolute) { return detail::windowsFromHost(hostAbsolute); }

// --- queries ---------------------------------------------------------------

Result<FileStat> statNoFollow(std::string_view path) {
  return onPath(FsOp::Stat, path, kRootAllowed, [](int d, std::string_view n) { return statIn(d, n, false); });
}

Result<FileStat> statFollow(std::string_view path) {
  return onPath(FsOp::Stat, path, kRootAllowed, [](int d, std::string_view n) { return statIn(d, n, true); });
}

Result<FileStat> statAt(const Dir& dir, std::string_view name) {
  return onName(FsOp::Stat, dir, name, true, [](int d, std::string_view n) { return statIn(d, n, false); });
}

Result<FileStat> statFile(const File& f) {
  TRY(fault(FsOp::Stat, {}));
  struct stat st {};
  if (::fstat(fdOf(f), &st) != 0) return lastError();
  return toStat(st);
}

Result<FileStat> statDir(const Dir& d) {
  TRY(fault(FsOp::Stat, {}));
  struct stat st {};
  if (::fstat(fdOf(d), &st) != 0) return lastError();
  return toStat(st);
}

Status access(std::string_view path) {
  return onPath(FsOp::Stat, path, kRootAllowed, [](int d, std::string_view n) -> Status {
    TRY(statIn(d, n, true));
    return success();
  });
}

Result<std::string> realPath(std::string_view path) {
  TRY(fault(FsOp::Stat, path));
  std::string host = TRY(hostPath(path));
  char* real = ::realpath(host.c_str(), nullptr);
  if (real == nullptr) return lastError();
  std::string out = detail::windowsFromHost(real);
  std::free(real);
  return out;
}

Result<std::string> readLinkAt(const Dir& dir, std::string_view name) {
  return onName(FsOp::Stat, dir, name, false, [](int d, std::string_view name) {
    return withFolding(d, name, [d](const std::string& nm) -> Result<std::string> {
      std::string buf(256, '\0');
      for (;;) {
        ssize_t n = ::readlinkat(d, nm.c_str(), buf.data(), buf.size());
        if (n < 0) return lastError();
        if (static_cast<std::size_t>(n) < buf.size()) {
          buf.resize(static_cast<std::size_t>(n));
          return buf;
        }
        buf.resize(buf.size() * 2);
      }
    });
  });
}

Result<std::vector<DirEntry>> listDir(const Dir& dir) {
  TRY(fault(FsOp::Open, {}));
  auto names = TRY(listNames(fdOf(dir)));
  std::vector<DirEntry> out;
  out.reserve(names.size());
  for (ListedName& e : names) {
    FileKind kind = FileKind::Unknown;
    switch (e.type) {
      case DT_REG: kind = FileKind::File; break;
      case DT_DIR: kind = FileKind::Directory; break;
      case DT_LNK: kind = FileKind::SymLink; break;
      case DT_BLK: kind = FileKind::BlockDevice; break;
      case DT_CHR: kind = FileKind::CharacterDevice; break;
      case DT_FIFO: kind = FileKind::NamedPipe; break;
      case DT_SOCK: kind = FileKind::UnixDomainSocket; break;
      default: {
        struct stat st {};
        if (::fstatat(fdOf(dir), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
        kind = kindOf(st.st_mode);
      }
    }
    out.push_back({std::move(e.name), kind});
  }
  return out;
}

// --- directories -------------------------------------------------------------

Result<Dir> openDir(std::string_view path, bool noFollowLast) {
  return onPath(FsOp::Open, path, kRootAllowed,
                [follow = !noFollowLast](int d, std::string_view n) { return openDirIn(d, n, follow); });
}

Result<Dir> openDirAt(const Dir& dir, std::string_view name, bool list) {
  (void)list;  // a host folder handle lists without asking for it up front
  return onName(FsOp::Open, dir, name, true, [](int d, std::string_view n) { return openDirIn(d, n, false); });
}

Status makeDir(std::string_view path) {
  return onPath(FsOp::MakeDir, path, Error::PathAlreadyExists, makeDirIn);
}

Status makeDirAt(const Dir& dir, std::string_view name) {
  return onName(FsOp::MakeDir, dir, name, false, makeDirIn);
}

Status makePath(std::string_view path) {
  TRY(fault(FsOp::MakeDir, path));
  auto comps = TRY(detail::hostComponents(path));
  struct stat st {};
  if (::stat(detail::joinHost(comps, comps.size()).c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? success() : Status(Error::NotDir);
  }
  Dir cur = dirFrom(::open("/", kPathDirFlags));
  if (!cur.valid()) return lastError();
  for (const std::string& comp : comps) {
    int base = fdOf(cur);
    auto enter = [base](const std::string& nm) { return enterFolder(base, nm); };
    auto next = withFolding(base, comp, enter);
    if (!next.ok() && next.error() == Error::FileNotFound) {
      Status made = makeDirIn(base, comp);
      if (!made.ok() && made.error() != Error::PathAlreadyExists) return made.error();
      next = withFolding(base, comp, enter);
    }
    if (!next.ok()) return next.error();
    cur = next.take();
  }
  return success();
}

Status deleteDir(std::string_view path) {
  return onPath(FsOp::DeleteDir, path, Error::AccessDenied, deleteDirIn);
}

Status deleteDirAt(const Dir& dir, std::string_view name) {
  return onName(FsOp::DeleteDir, dir, name, false, deleteDirIn);
}

Status deleteTree(std::string_view path) {
  TRY(fault(FsOp::DeleteDir, path));
  auto loc = locate(path);
  if (!loc.ok()) return loc.error() == Error::FileNotFound ? success() : Status(loc.error());
  if (loc->name == ".") return Error::AccessDenied;
  return deleteTreeIn(fdOf(loc->parent), loc->name, false);
}

Status deleteTreeAt(const Dir& dir, std::string_view name) {
  return onName(FsOp::DeleteDir, dir, name, false,
                [](int d, std::string_view n) { return deleteTreeIn(d, n, true); });
}

// --- files -------------------------------------------------------------------

Result<File> openFileRead(std::string_view path) {
  return onPath(FsOp::Open, path, Error::IsDir, openReadIn);
}

Result<File> openFileReadAt(const Dir& dir, std::string_view name) {
  return onName(FsOp::Open, dir, name, false, openReadIn);
}

Result<File> createFile(std::string_view path, bool exclusive, bool truncate) {
  return onPath(FsOp::Create, path, Error::IsDir, [=](int d, std::string_view n) {
    return createIn(d, n, exclusive, truncate, true);
  });
}

Result<File> createFileAt(const Dir& dir, std::string_view name, bool exclusive, bool truncate) {
  return onName(FsOp::Create, dir, name, false, [=](int d, std::string_view n) {
    return createIn(d, n, exclusive, truncate, false);
  });
}

Result<std::size_t> read(File& f, void* buf, std::size_t n) { return readSome(fdOf(f), buf, n, std::nullopt); }

Result<std::size_t> pread(File& f, void* buf, std::size_t n, std::uint64_t offset) {
  return readSome(fdOf(f), buf, n, offset);
}

Status writeAll(File& f, const void* buf, std::size_t n) {
  TRY(fault(FsOp::Write, {}));
  return platform::fdWriteAll(fdOf(f), buf, n);
}

Status replaceContent(File& f, const void* buf, std::size_t n) {
  TRY(fault(FsOp::Write, {}));
  // Written before the cut, so that a crash between the two leaves the new
  // bytes at the start, never an empty file where content was meant.
  TRY(platform::fdWriteAll(fdOf(f), buf, n, 0));
  if (::ftruncate(fdOf(f), static_cast<off_t>(n)) != 0) return lastError();
  return success();
}

Status syncFile(File& f) {
  TRY(fault(FsOp::Sync, {}));
  if (::fsync(fdOf(f)) != 0) return lastError();
  return success();
}

Status syncDir(const Dir& d) {
  TRY(fault(FsOp::Sync, {}));
  if (::fsync(fdOf(d)) == 0) return success();
  if (errno != EBADF) return lastError();
  // A pass-through-only handle cannot be synced itself; a readable one can.
  Dir readable = dirFrom(::openat(fdOf(d), ".", kDirFlags));
  if (!readable.valid()) return lastError();
  if (::fsync(fdOf(readable)) != 0) return lastError();
  return success();
}

Result<bool> tryLockRange(File& f, std::uint64_t offset, std::uint64_t length) {
  // An open-file-description lock belongs to this open, not to the process:
  // a second open in the same process is excluded as on Windows, and the
  // lock goes with the last descriptor of the open.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  if (::fcntl(fdOf(f), F_OFD_SETLK, &lock) == 0) return true;
  if (errno == EAGAIN || errno == EACCES) return false;
  return lastError();
}

Result<std::string> readFile(std::string_view path, std::size_t cap) {
  TRY(fault(FsOp::Open, path));
  Located loc = TRY(locate(path));
  File file = TRY(openFollowRead(fdOf(loc.parent), loc.name));
  struct stat st {};
  if (::fstat(fdOf(file), &st) != 0) return lastError();
  if (!S_ISREG(st.st_mode)) return Error::NotRegularFile;
  // One byte beyond the cap is read to tell "exactly cap" from "more".
  const std::size_t limit = cap == SIZE_MAX ? cap : cap + 1;
  std::size_t size = static_cast<std::size_t>(st.st_size);
  std::string out(size < limit ? size + 1 : limit, '\0');
  std::size_t have = 0;
  for (;;) {
    if (have == out.size()) {
      if (have >= limit) break;
      out.resize(std::min(limit, std::max<std::size_t>(have * 2, 4096)));
    }
    std::size_t got = TRY(readSome(fdOf(file), out.data() + have, out.size() - have, std::nullopt));
    if (got == 0) break;
    have += got;
  }
  if (have > cap) return Error::StreamTooLong;
  out.resize(have);
  return out;
}

Status deleteFile(std::string_view path) {
  return onPath(FsOp::DeleteFile, path, Error::IsDir, deleteFileIn);
}

Status deleteFileAt(const Dir& dir, std::string_view name) {
  return onName(FsOp::DeleteFile, dir, name, false, deleteFileIn);
}

Status rename(std::string_view from, std::string_view to) {
  TRY(fault(FsOp::Rename, from));
  Located src = TRY(locate(from));
  Located dst = TRY(locate(to));
  if (src.name == "." || dst.name == ".") return Error::AccessDenied;
  return renameIn(fdOf(src.parent), src.name, fdOf(dst.parent), dst.name);
}

Status renameAt(const Dir& fromDir, std::string_view fromName, const Dir& toDir, std::string_view toName) {
  TRY(checkName(fromName, false));
  TRY(checkName(toName, false));
  TRY(fault(FsOp::Rename, fromName));
  return renameIn(fdOf(fromDir), fromName, fdOf(toDir), toName);
}

Status copyFile(std::string_view from, std::string_view to, bool failIfExists) {
  TRY(fault(FsOp::Copy, from));
  Located src = TRY(locate(from));
  File in = TRY(openFollowRead(fdOf(src.parent), src.name));
  struct stat srcSt {};
  if (::fstat(fdOf(in), &srcSt) != 0) return lastError();
  if (S_ISDIR(srcSt.st_mode)) return Error::IsDir;
  if (!S_ISREG(srcSt.st_mode)) return Error::NotRegularFile;

  Located dst = TRY(locate(to));
  if (dst.name == ".") return Error::PathAlreadyExists;
  File out;
  std::string outName;
  {
    auto guard = FoldedNames::shared().lock();
    Found f = TRY(findName(fdOf(dst.parent), dst.name));
    outName = f.name;
    if (f.exists) {
      if (failIfExists || S_ISDIR(f.st.st_mode)) return Error::PathAlreadyExists;
      struct stat target {};
      if (::fstatat(fdOf(dst.parent), f.name.c_str(), &target, 0) == 0 && sameFile(target, srcSt)) {
        return Error::FileBusy;  // truncating it would destroy the source
      }
      out = fileFrom(::openat(fdOf(dst.parent), f.name.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC));
      if (!out.valid()) return lastError();
    } else {
      out = fileFrom(::openat(fdOf(dst.parent), f.name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0777));
      if (!out.valid()) return lastError();
      FoldedNames::shared().changed(fdOf(dst.parent), f.folder, {}, f.name);
    }
  }
  Status copied = copyBytes(fdOf(in), fdOf(out));
  if (copied.ok() && ::fchmod(fdOf(out), srcSt.st_mode & 0777) != 0) copied = lastError();
  if (!copied.ok()) {
    // Leave no half copy behind under the destination's name.
    out.close();
    (void)unlinkFound(fdOf(dst.parent), outName, 0);
    return copied.error();
  }
  return success();
}

// The record names the link as the caller did (name or path).
Status createSymlinkAt(const Dir& dir, std::string_view name, std::string_view target, bool folderLink) {
  TRY(onName(FsOp::Symlink, dir, name, false,
             [target](int d, std::string_view n) { return symlinkIn(d, n, target); }));
  io().recordSymlink({std::string(name), std::string(target), folderLink});
  return success();
}

Status createSymlink(std::string_view path, std::string_view target, bool folderLink) {
  TRY(onPath(FsOp::Symlink, path, Error::PathAlreadyExists,
             [target](int d, std::string_view n) { return symlinkIn(d, n, target); }));
  io().recordSymlink({std::string(path), std::string(target), folderLink});
  return success();
}

Status hardLinkAt(const File& target, const Dir& dir, std::string_view name) {
  return onName(FsOp::HardLink, dir, name, false,
                [&target](int d, std::string_view n) { return hardLinkIn(fdOf(target), d, n); });
}

}  // namespace tl::fs
