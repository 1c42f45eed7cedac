#include "archive/tar_extraction.h"

#include <algorithm>
#include <cstddef>

#include "archive/archive_path.h"
#include "archive/folder_link_resolver.h"
#include "archive/no_follow_access.h"
#include "common/utf8.h"
#include "platform/io_context.h"

namespace tl {

namespace {

// An interrupted link call is tried again, but not forever: a file system
// that keeps interrupting it would otherwise hang the installation.
constexpr int kMaxHardLinkAttempts = 8;

Status createSymbolicLink(ArchiveDestination& dest, const RecipeEntry& entry, FolderLinkResolver& resolver,
                          std::size_t index) {
  const fs::Dir folder = TRY(openArchiveParentDir(dest.root, entry.path, true));
  // Decided from the recipe alone: nothing on disk is trusted for it.
  const bool folderLink = TRY(resolver.isFolderLink(index));
  return fs::createSymlinkAt(folder, lastArchiveComponent(entry.path), *entry.link_target, folderLink);
}

Status createHardLink(ArchiveDestination& dest, const RecipeEntry& entry) {
  const fs::Dir folder = TRY(openArchiveParentDir(dest.root, entry.path, true));
  // Linked by handle: the target is reached without following links, so the
  // link can only ever share a regular file of this tree.
  const fs::File target = TRY(openArchiveFile(dest.root, *entry.link_target));
  const std::string_view name = lastArchiveComponent(entry.path);
  if (!isValidUtf8(name)) return Error::InvalidUtf8;
  Error last = Error::Canceled;
  for (int attempt = 0; attempt < kMaxHardLinkAttempts; ++attempt) {
    if (io().canceled()) return Error::Canceled;
    const Status linked = fs::hardLinkAt(target, folder, name);
    if (linked) return success();
    last = linked.error();
    // The layer reports an interrupted call as Canceled while the task itself
    // goes on; that one is worth another try.
    if (last != Error::Canceled) return last;
  }
  return last;
}

}  // namespace

Status createArchiveRoot(ArchiveDestination& dest, std::string_view rootName) {
  // Made fresh: an existing folder of the name could hold anything.
  TRY(fs::makeDirAt(*dest.folder, rootName));
  dest.root = TRY(fs::openDirAt(*dest.folder, rootName, true));
  return success();
}

Status createArchiveFolder(ArchiveDestination& dest, std::string_view path) {
  const fs::Dir parent = TRY(openArchiveParentDir(dest.root, path, true));
  const std::string_view name = lastArchiveComponent(path);
  const Status made = fs::makeDirAt(parent, name);
  if (!made && made.error() != Error::PathAlreadyExists) return made.error();
  // An existing name must be a real folder, not a file or a link.
  const fs::Dir check = TRY(fs::openDirAt(parent, name));
  return success();
}

Result<const fs::Dir*> ArchiveFolderCache::parentOf(const fs::Dir& root, std::string_view path) {
  const std::string_view parent = archiveParentPath(path);
  if (parent.empty()) return &root;
  const auto kept = std::find_if(folders_.begin(), folders_.end(), [&](const auto& f) { return f.first == parent; });
  if (kept != folders_.end()) {
    std::rotate(folders_.begin(), kept, kept + 1);
    return &folders_.front().second;
  }
  fs::Dir opened = TRY(openArchiveParentDir(root, path, true));
  if (folders_.size() == kFolders) folders_.pop_back();
  folders_.emplace(folders_.begin(), std::string(parent), std::move(opened));
  return &folders_.front().second;
}

Result<fs::File> createArchiveFile(ArchiveDestination& dest, std::string_view path, ArchiveFolderCache& folders) {
  const fs::Dir* parent = TRY(folders.parentOf(dest.root, path));
  return fs::createFileAt(*parent, lastArchiveComponent(path), true, true);
}

Status createArchiveLinks(ArchiveDestination& dest, const UpdateRecipe& recipe) {
  FolderLinkResolver resolver(recipe);
  for (std::size_t i = 0; i < recipe.entries.size(); ++i) {
    const RecipeEntry& entry = recipe.entries[i];
    if (entry.kind == RecipeEntryKind::symlink) {
      TRY(createSymbolicLink(dest, entry, resolver, i));
    } else if (entry.kind == RecipeEntryKind::hardlink) {
      TRY(createHardLink(dest, entry));
    }
  }
  return success();
}

}  // namespace tl
