#pragma once
// Case-insensitive name lookup in host folders, with a per-folder cache of
// folded names.
//
// Host file names are case-sensitive; ours are not. When a name is missing
// with its exact case, its folder is searched for an ASCII-case-insensitive
// match. Scanning the folder on every such miss would make filling a folder
// quadratic (every created name first misses), so the folded names of a
// folder are kept, keyed by the folder's device and inode and valid while
// its modification and change times are unchanged. The layer's own changes
// update the cache in place (see changed()), so the folder's times moving
// because of them do not force a rescan.
//
// A change by another process within the same timestamp tick as our scan
// can go unseen until the folder changes again; such a name is then only
// found by its exact case. Lookups by exact name are never affected.
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl::fs::detail {

// Identity and change times of a folder.
struct FolderStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  std::int64_t mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
  bool operator==(const FolderStamp&) const = default;
};

[[nodiscard]] Result<FolderStamp> folderStamp(int dirfd);

struct FoldedMatch {
  enum class Kind { None, One, Many };
  Kind kind = Kind::None;
  std::string name;     // the matching entry's real name (Kind::One)
  FolderStamp folder;   // the folder state the answer was taken from
};

class FoldedNames {
 public:
  static FoldedNames& shared();

  // Held around a lookup and the change that depends on it, so that the
  // cache and the folder change together within this process. Recursive:
  // the layer's helpers take it again.
  std::unique_lock<std::recursive_mutex> lock() { return std::unique_lock(mutex_); }

  // Entries of the folder open at dirfd whose names equal name ignoring ASCII
  // case. A folder that cannot be listed has no matches.
  [[nodiscard]] Result<FoldedMatch> find(int dirfd, std::string_view name);

  // Records a change this process made in the folder: removed and added are
  // names (empty for none). before is the folder's stamp taken before the
  // change; when the cache held exactly that state, it follows the change,
  // otherwise it is dropped and the next lookup scans again.
  void changed(int dirfd, const FolderStamp& before, std::string_view removed, std::string_view added);

  // Number of folder scans so far (tests check that filling a folder does
  // not scan it once per entry).
  std::uint64_t scans() const { return scans_; }

 private:
  std::recursive_mutex mutex_;
  std::uint64_t scans_ = 0;
};

}  // namespace tl::fs::detail
