#pragma once
// Unpacking a tar archive while it is read: the root folder made fresh in the
// destination, folders and files as their entries arrive, links after the
// recipe has been validated. Everything below the root is reached one
// component at a time without following links.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/update_recipe.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

struct ArchiveDestination {
  explicit ArchiveDestination(const fs::Dir& destinationFolder) : folder(&destinationFolder) {}

  // The folder the archive's root folder is created in; the caller's.
  const fs::Dir* folder;
  // Filled in by the tar reader once the root folder exists. From then on the
  // handle is the caller's, on success and on failure alike.
  fs::Dir root;
  bool rootOpen() const { return root.valid(); }
};

// The open folders that files were last created in, so that a run of files in
// one folder walks down to it once. A kept handle is the folder a new walk
// would reach: while files are unpacked nothing in the tree is removed or
// replaced (files are created exclusively, links come after). Bounded; the
// handles close with the cache.
class ArchiveFolderCache {
 public:
  static constexpr std::size_t kFolders = 64;

  // The folder above `path`, below `root`, its missing folders created.
  [[nodiscard]] Result<const fs::Dir*> parentOf(const fs::Dir& root, std::string_view path);

 private:
  // Most recently used first.
  std::vector<std::pair<std::string, fs::Dir>> folders_;
};

// Creates the root folder (it must not exist) and keeps its handle.
[[nodiscard]] Status createArchiveRoot(ArchiveDestination& dest, std::string_view rootName);
// A folder entry: missing folders above it are created, an existing folder
// of the name is accepted, anything else there is refused.
[[nodiscard]] Status createArchiveFolder(ArchiveDestination& dest, std::string_view path);
// A file entry: created exclusively, open for writing.
[[nodiscard]] Result<fs::File> createArchiveFile(ArchiveDestination& dest, std::string_view path,
                                                 ArchiveFolderCache& folders);
// The second pass: every symbolic and hard link of the (validated) recipe, in
// recipe order.
[[nodiscard]] Status createArchiveLinks(ArchiveDestination& dest, const UpdateRecipe& recipe);

}  // namespace tl
