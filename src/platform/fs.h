#pragma once
// File and directory operations with Windows semantics over the host OS.
//
// Paths are WTF-8 Windows paths ("Z:\tmp\x", "\x", "\\?\Z:\x"); names are
// single components. Lookups ignore ASCII letter case as Windows does, and
// creation counts a name that differs only in case as already existing.
// Every operation passes the IoContext fault seam first.
//
// Fault seam: path operations pass their path (rename and copyFile the
// source), handle-relative ones their name, operations on an open handle an
// empty text. Ops: Stat for the queries, Open for opens, listDir and
// readFile, Create, MakeDir (makePath too), DeleteFile, DeleteDir (both
// tree deletions), Rename, Copy, Symlink, HardLink, Write (writeAll), Sync.
// read and pread only check for cancellation.
//
// Errors come from the layer's one translation of host errors, with these
// fixed choices:
// - a name that matches two entries differing only in case: BadPathName;
// - a link where a folder is opened without following: NotDir;
// - a folder where a file is deleted: IsDir;
// - a folder at a rename or copy destination, or a folder renamed onto
//   anything: PathAlreadyExists;
// - paths on drives other than Z:, UNC shares and device names: FileNotFound.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace tl::fs {

enum class FileKind {
  File,
  Directory,
  SymLink,
  BlockDevice,
  CharacterDevice,
  NamedPipe,
  UnixDomainSocket,
  Unknown,
};

struct FileStat {
  FileKind kind = FileKind::Unknown;
  std::uint64_t size = 0;
  std::uint64_t fileIndex = 0;  // identity of the file within its volume
  std::uint64_t volume = 0;
  std::uint32_t mode = 0;  // permission bits (07777)
};

// What Dir and File share: one host handle owned. Move-only; closes on
// destruction. Not used on its own, so a Dir never passes for a File. Only
// the layer reaches the handle itself (HandleAccess, in its implementation).
struct HandleAccess;

class Handle {
 public:
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void close();
  bool valid() const { return fd_ >= 0; }

 protected:
  Handle() = default;
  explicit Handle(int fd) : fd_(fd) {}
  Handle(Handle&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Handle& operator=(Handle&& o) noexcept;
  ~Handle() { close(); }

 private:
  friend struct HandleAccess;
  int fd_ = -1;
};

// An open directory.
class Dir : public Handle {
 public:
  Dir() = default;

 private:
  friend struct HandleAccess;
  explicit Dir(int fd) : Handle(fd) {}
};

// An open file.
class File : public Handle {
 public:
  File() = default;

 private:
  friend struct HandleAccess;
  explicit File(int fd) : Handle(fd) {}
};

struct DirEntry {
  std::string name;
  FileKind kind;
};

// --- path form -----------------------------------------------------------
// Host path of a Windows path, with the existing prefix matched ignoring case.
// Relative paths are taken from the current folder; "." and ".." are
// resolved as text, as Windows does.
[[nodiscard]] Result<std::string> hostPath(std::string_view path);
// Windows form ("Z:\...") of an absolute host path.
std::string windowsPath(std::string_view hostAbsolute);

// --- queries -------------------------------------------------------------
[[nodiscard]] Result<FileStat> statNoFollow(std::string_view path);
[[nodiscard]] Result<FileStat> statFollow(std::string_view path);
[[nodiscard]] Result<FileStat> statAt(const Dir& dir, std::string_view name);  // no follow
[[nodiscard]] Result<FileStat> statFile(const File& f);
[[nodiscard]] Result<FileStat> statDir(const Dir& d);
// Succeeds when the path exists (an access test; links are followed).
[[nodiscard]] Status access(std::string_view path);
// Real path with every link resolved, in Windows form.
[[nodiscard]] Result<std::string> realPath(std::string_view path);
[[nodiscard]] Result<std::string> readLinkAt(const Dir& dir, std::string_view name);
[[nodiscard]] Result<std::vector<DirEntry>> listDir(const Dir& dir);

// --- directories ---------------------------------------------------------
// Opens a directory by path; with noFollowLast a link at the last name is
// refused (SymLinkLoop/NotDir) instead of resolved.
[[nodiscard]] Result<Dir> openDir(std::string_view path, bool noFollowLast = false);
// Opens a directory relative to a handle, never following a link at name
// (NotDir). "." opens a second handle of dir itself.
[[nodiscard]] Result<Dir> openDirAt(const Dir& dir, std::string_view name, bool list = false);
[[nodiscard]] Status makeDir(std::string_view path);
[[nodiscard]] Status makeDirAt(const Dir& dir, std::string_view name);
// Creates the folder and every missing parent; an existing folder is fine.
[[nodiscard]] Status makePath(std::string_view path);
[[nodiscard]] Status deleteDir(std::string_view path);  // empty folder only
[[nodiscard]] Status deleteDirAt(const Dir& dir, std::string_view name);
// Deletes a folder tree without following links (a link is removed as itself).
// A missing path counts as deleted; a path that is not a folder is NotDir.
[[nodiscard]] Status deleteTree(std::string_view path);
// Deletes the file or folder tree name below dir; missing counts as deleted.
[[nodiscard]] Status deleteTreeAt(const Dir& dir, std::string_view name);

// --- files ---------------------------------------------------------------
// Read-only open. A link at the last name is opened as itself (its stat says
// SymLink); a FIFO or device never blocks the open.
[[nodiscard]] Result<File> openFileRead(std::string_view path);
[[nodiscard]] Result<File> openFileReadAt(const Dir& dir, std::string_view name);
// Creates (mode 0777 less the umask) or opens for reading and writing. With
// exclusive an existing name, in any case, is PathAlreadyExists; otherwise
// the existing entry is opened (and truncated when asked). The path form
// follows a link at the last name, the handle form does not.
[[nodiscard]] Result<File> createFile(std::string_view path, bool exclusive, bool truncate);
[[nodiscard]] Result<File> createFileAt(const Dir& dir, std::string_view name, bool exclusive,
                                        bool truncate);
[[nodiscard]] Result<std::size_t> read(File& f, void* buf, std::size_t n);
[[nodiscard]] Result<std::size_t> pread(File& f, void* buf, std::size_t n, std::uint64_t offset);
[[nodiscard]] Status writeAll(File& f, const void* buf, std::size_t n);
// Makes the open file hold exactly these n bytes: written from its start,
// then cut after them. In place, not atomic; the file position is unchanged.
[[nodiscard]] Status replaceContent(File& f, const void* buf, std::size_t n);
[[nodiscard]] Status syncFile(File& f);
[[nodiscard]] Status syncDir(const Dir& d);
// Tries an exclusive lock of `length` bytes at `offset` of an open file,
// without waiting: true when granted, false when another open of the file
// (in this process or another) holds an overlapping lock. The lock lasts
// until the handle is closed. The file must be open for writing.
[[nodiscard]] Result<bool> tryLockRange(File& f, std::uint64_t offset, std::uint64_t length);
// Whole file (links followed); more than cap bytes is StreamTooLong, a kind
// other than regular file NotRegularFile.
[[nodiscard]] Result<std::string> readFile(std::string_view path, std::size_t cap);
[[nodiscard]] Status deleteFile(std::string_view path);
[[nodiscard]] Status deleteFileAt(const Dir& dir, std::string_view name);
// Rename. A file rename replaces an existing file; a folder is never replaced.
// A destination that differs only in case from an existing file replaces
// that file under its existing spelling; renaming an entry to another
// spelling of its own name changes the spelling.
[[nodiscard]] Status rename(std::string_view from, std::string_view to);
// The same rename between names below two open folders.
[[nodiscard]] Status renameAt(const Dir& fromDir, std::string_view fromName, const Dir& toDir,
                              std::string_view toName);
// Copies a file's bytes and permission bits; fails when dest exists and
// failIfExists is set.
[[nodiscard]] Status copyFile(std::string_view from, std::string_view to, bool failIfExists);
// Creates a symbolic link; the folder-link flag is recorded for tests.
[[nodiscard]] Status createSymlinkAt(const Dir& dir, std::string_view name, std::string_view target,
                                     bool folderLink);
[[nodiscard]] Status createSymlink(std::string_view path, std::string_view target, bool folderLink);
// Hard link to an open file, created by name below dir; never replaces.
[[nodiscard]] Status hardLinkAt(const File& target, const Dir& dir, std::string_view name);

}  // namespace tl::fs
