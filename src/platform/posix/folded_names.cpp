#include "platform/posix/folded_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "common/ascii_case.h"
#include "platform/posix/errno_map.h"

namespace tl::fs::detail {

namespace {

// Folders kept at once; filling more folders than this in turn only costs
// rescans, never wrong answers.
constexpr std::size_t kMaxFolders = 64;

struct FolderKey {
  dev_t dev;
  ino_t ino;
  bool operator==(const FolderKey&) const = default;
};

struct FolderKeyHash {
  std::size_t operator()(const FolderKey& k) const {
    return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(k.ino) * 1000003u ^
                                      static_cast<std::uint64_t>(k.dev));
  }
};

// All entries of one folded spelling: one real name and how many entries
// share the spelling (more than one is an ambiguous name).
struct Slot {
  std::string name;
  std::uint32_t count = 0;
};

struct Folder {
  FolderStamp stamp;
  std::unordered_map<std::string, Slot> names;
  std::uint64_t lastUse = 0;
};

struct Cache {
  std::unordered_map<FolderKey, Folder, FolderKeyHash> folders;
  std::uint64_t clock = 0;
};

Cache& cache() {
  static Cache c;
  return c;
}

void evictIfFull(Cache& c) {
  if (c.folders.size() < kMaxFolders) return;
  auto oldest = c.folders.begin();
  for (auto it = c.folders.begin(); it != c.folders.end(); ++it) {
    if (it->second.lastUse < oldest->second.lastUse) oldest = it;
  }
  c.folders.erase(oldest);
}

// Reads every name of the folder. false when it cannot be listed.
bool scanFolder(int dirfd, Folder& out) {
  int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return false;
  }
  bool ok = true;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) {
      ok = errno == 0;
      break;
    }
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    Slot& s = out.names[asciiLower(n)];
    if (s.count++ == 0) s.name.assign(n);
  }
  ::closedir(d);
  return ok;
}

}  // namespace

Result<FolderStamp> folderStamp(int dirfd) {
  struct stat st {};
  if (::fstat(dirfd, &st) != 0) return platform::lastError();
  FolderStamp s;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.mtimeSec = st.st_mtim.tv_sec;
  s.mtimeNsec = st.st_mtim.tv_nsec;
  s.ctimeSec = st.st_ctim.tv_sec;
  s.ctimeNsec = st.st_ctim.tv_nsec;
  return s;
}

FoldedNames& FoldedNames::shared() {
  static FoldedNames instance;
  return instance;
}

Result<FoldedMatch> FoldedNames::find(int dirfd, std::string_view name) {
  auto guard = lock();
  FoldedMatch match;
  match.folder = TRY(folderStamp(dirfd));
  Cache& c = cache();
  FolderKey key{match.folder.dev, match.folder.ino};
  auto it = c.folders.find(key);
  if (it == c.folders.end() || !(it->second.stamp == match.folder)) {
    if (it != c.folders.end()) c.folders.erase(it);
    Folder fresh;
    fresh.stamp = match.folder;
    ++scans_;
    if (!scanFolder(dirfd, fresh)) return match;  // unlistable: only exact names work
    evictIfFull(c);
    it = c.folders.emplace(key, std::move(fresh)).first;
  }
  it->second.lastUse = ++c.clock;
  auto slot = it->second.names.find(asciiLower(name));
  if (slot == it->second.names.end()) return match;
  if (slot->second.count > 1) {
    match.kind = FoldedMatch::Kind::Many;
  } else {
    match.kind = FoldedMatch::Kind::One;
    match.name = slot->second.name;
  }
  return match;
}

void FoldedNames::changed(int dirfd, const FolderStamp& before, std::string_view removed,
                          std::string_view added) {
  auto guard = lock();
  Cache& c = cache();
  auto it = c.folders.find(FolderKey{before.dev, before.ino});
  if (it == c.folders.end()) return;
  Folder& f = it->second;
  auto drop = [&] { c.folders.erase(it); };
  if (!(f.stamp == before)) return drop();
  if (!removed.empty()) {
    auto slot = f.names.find(asciiLower(removed));
    if (slot != f.names.end()) {
      // With several spellings we no longer know which one is left.
      if (slot->second.count != 1 || slot->second.name != removed) return drop();
      f.names.erase(slot);
    }
  }
  if (!added.empty()) {
    Slot& s = f.names[asciiLower(added)];
    if (s.count == 0) {
      s.name.assign(added);
      s.count = 1;
    } else if (s.count == 1 && s.name == added) {
      // Replaced in place: the spelling is unchanged.
    } else if (s.count == 1) {
      s.count = 2;
    } else {
      return drop();  // cannot tell whether this spelling was counted already
    }
  }
  auto after = folderStamp(dirfd);
  if (!after.ok()) return drop();
  f.stamp = *after;
}

}  // namespace tl::fs::detail
