#include "archive/staged_tree.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive/archive_path.h"
#include "archive/archive_rebuild.h"
#include "archive/no_follow_access.h"
#include "common/sha256.h"

namespace tl {

namespace {

// Keys view the recipe's own strings (an ancestor is a prefix of its entry's
// path), so the maps copy no path.
using EntryMap = std::unordered_map<std::string_view, const RecipeEntry*>;
using KindMap = std::unordered_map<std::string_view, RecipeEntryKind>;

constexpr std::size_t kMaxLinkTarget = 4096;

bool kindAgrees(RecipeEntryKind expected, fs::FileKind onDisk) {
  switch (expected) {
    case RecipeEntryKind::file:
    case RecipeEntryKind::hardlink:
      return onDisk == fs::FileKind::File;
    case RecipeEntryKind::directory:
      return onDisk == fs::FileKind::Directory;
    case RecipeEntryKind::symlink:
      return onDisk == fs::FileKind::SymLink;
  }
  return false;
}

Status addAncestors(const RecipeEntry& entry, KindMap& kinds) {
  std::string_view ancestor = entry.path;
  for (auto slash = ancestor.rfind('/'); slash != std::string_view::npos; slash = ancestor.rfind('/')) {
    ancestor = ancestor.substr(0, slash);
    const auto [it, added] = kinds.emplace(ancestor, RecipeEntryKind::directory);
    if (!added && it->second != RecipeEntryKind::directory) return Error::NonDirectoryArchiveAncestor;
  }
  return success();
}

Status checkLinkTarget(const fs::Dir& parent, std::string_view name, const RecipeEntry& entry) {
  std::string target = TRY(fs::readLinkAt(parent, name));
  if (target.size() > kMaxLinkTarget || !entry.link_target) return Error::StagedLinkTargetMismatch;
  // Unpacking on Windows writes link targets with '\'; the recipe keeps '/'.
  std::replace(target.begin(), target.end(), '\\', '/');
  if (target != *entry.link_target) return Error::StagedLinkTargetMismatch;
  return success();
}

Status checkHardlink(const RecipeEntry& entry, const EntryMap& entries, const fs::Dir& root) {
  const auto found = entry.link_target ? entries.find(*entry.link_target) : entries.end();
  if (found == entries.end()) return Error::InvalidLinkTarget;
  const RecipeEntry& target = *found->second;

  fs::File link = TRY(openArchiveFile(root, entry.path));
  const std::string digest = TRY(hashFileSha256(link, target.size));
  if (!target.sha256 || digest != *target.sha256) return Error::FileHashMismatch;

  // Equal bytes are not enough: a separate copy would drift from its target.
  const fs::File targetFile = TRY(openArchiveFile(root, target.path));
  const fs::FileStat linkStat = TRY(fs::statFile(link));
  const fs::FileStat targetStat = TRY(fs::statFile(targetFile));
  if (linkStat.fileIndex != targetStat.fileIndex || linkStat.volume != targetStat.volume) {
    return Error::StagedHardlinkTargetMismatch;
  }
  return success();
}

Status checkEntry(const RecipeEntry& entry, const EntryMap& entries, const fs::Dir& root) {
  const std::string_view name = lastArchiveComponent(entry.path);
  fs::Dir parent = TRY(openArchiveParentDir(root, entry.path, false));
  Result<fs::FileStat> examined = fs::statAt(parent, name);
  // The folders above were there; only the entry itself is absent.
  if (!examined && examined.error() == Error::FileNotFound) return Error::MissingStagedPath;
  const fs::FileStat st = TRY(examined);
  if (!kindAgrees(entry.kind, st.kind)) return Error::StagedEntryTypeMismatch;
  switch (entry.kind) {
    case RecipeEntryKind::symlink:
      return checkLinkTarget(parent, name, entry);
    case RecipeEntryKind::hardlink:
      parent.close();
      return checkHardlink(entry, entries, root);
    case RecipeEntryKind::file:
    case RecipeEntryKind::directory:
      break;
  }
  return success();
}

// Depth first over everything below root; every name must be a path of the
// kind map with an agreeing kind. Returns how many paths matched.
Result<std::size_t> walkTree(const fs::Dir& root, const KindMap& kinds) {
  struct Frame {
    fs::Dir dir;
    std::vector<fs::DirEntry> names;
    std::size_t next = 0;
    std::string path;
  };
  std::vector<Frame> stack;
  {
    Frame top;
    top.dir = TRY(fs::openDirAt(root, ".", true));
    top.names = TRY(fs::listDir(top.dir));
    stack.push_back(std::move(top));
  }
  std::size_t matched = 0;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.names.size()) {
      stack.pop_back();
      continue;
    }
    const fs::DirEntry& listed = frame.names[frame.next++];
    if (listed.name == "." || listed.name == "..") continue;
    std::string path = frame.path.empty() ? listed.name : frame.path + '/' + listed.name;
    // Exact lookup: a name whose letter case differs from the recipe's is
    // a path the recipe does not list.
    const auto found = kinds.find(path);
    if (found == kinds.end()) return Error::UnexpectedStagedPath;
    fs::FileKind kind = listed.kind;
    if (kind == fs::FileKind::Unknown) kind = TRY(fs::statAt(frame.dir, listed.name)).kind;
    if (!kindAgrees(found->second, kind)) return Error::StagedEntryTypeMismatch;
    ++matched;
    if (found->second == RecipeEntryKind::directory) {
      Frame child;
      child.dir = TRY(fs::openDirAt(frame.dir, listed.name, true));
      child.names = TRY(fs::listDir(child.dir));
      child.path = std::move(path);
      stack.push_back(std::move(child));  // frame and listed are not used after this
    }
  }
  return matched;
}

}  // namespace

Result<std::string> hashFileSha256(fs::File& file, std::uint64_t expectedSize) {
  const fs::FileStat st = TRY(fs::statFile(file));
  if (st.kind != fs::FileKind::File || st.size != expectedSize) return Error::FileSizeMismatch;
  try {
    const std::unique_ptr<char[]> buffer(new char[kArchivePieceSize]);
    Sha256 digest;
    TRY(readFilePieces(file, expectedSize, buffer.get(), [&](std::string_view piece) -> Status {
      digest.update(piece);
      return success();
    }));
    return digest.finishHex();
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

Status verifyStagedTree(const UpdateRecipe& recipe, const fs::Dir& root) {
  {
    CountingWriter discard;
    TRY(rebuildArchiveFromRecipe(recipe, root, discard));
  }

  EntryMap entries;
  KindMap kinds;
  entries.reserve(recipe.entries.size());
  kinds.reserve(recipe.entries.size() * 2);
  for (const RecipeEntry& entry : recipe.entries) {
    entries.emplace(entry.path, &entry);
    kinds.emplace(entry.path, entry.kind);
  }

  for (const RecipeEntry& entry : recipe.entries) {
    TRY(addAncestors(entry, kinds));
    TRY(checkEntry(entry, entries, root));
  }

  const std::size_t matched = TRY(walkTree(root, kinds));
  if (matched != kinds.size()) return Error::MissingStagedPath;
  return success();
}

}  // namespace tl
