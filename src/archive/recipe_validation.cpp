// Whether a parsed recipe is consistent enough to trust: a sane header, a
// well-shaped tree of entries, and spans that cover every archive byte once.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/archive_path.h"
#include "archive/tar_reader.h"
#include "archive/update_recipe.h"
#include "common/ascii_case.h"
#include "common/hex.h"
#include "common/sha256.h"

namespace tl {

namespace {

constexpr std::uint64_t kMinArchiveSize = 1024;
constexpr std::uint32_t kMaxMode = 0777;
constexpr std::size_t kMaxEntries = 100000;
constexpr std::size_t kMaxSpans = 200001;
constexpr std::uint64_t kMaxLiteral = 67108864;       // 64 MiB, one span and all together

// The entry paths as a tree of components folded to ASCII lower case, so
// that duplicates, ancestors and link walks cost one lookup per component
// and never re-hash a whole path per '/'.
class FoldedTree {
 public:
  static constexpr std::uint32_t kRoot = 0;
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  explicit FoldedTree(std::size_t expectedEntries) {
    parent_.push_back(kNone);
    kind_.push_back(std::nullopt);
    children_.reserve(expectedEntries * 2);
  }

  // The node of `path`, created with every missing ancestor. `respelled` is
  // set when a component names an existing node in another letter case.
  std::uint32_t insert(std::string_view path, bool& respelled) {
    std::uint32_t node = kRoot;
    forEachArchiveComponent(path, [&](std::string_view name) {
      auto [it, added] = children_.try_emplace(Key{node, name}, static_cast<std::uint32_t>(parent_.size()));
      if (added) {
        parent_.push_back(node);
        kind_.push_back(std::nullopt);
      } else if (it->first.name != name) {
        respelled = true;
      }
      node = it->second;
      return true;
    });
    return node;
  }

  std::uint32_t child(std::uint32_t node, std::string_view name) const {
    if (node == kNone) return kNone;
    auto it = children_.find(Key{node, name});
    return it == children_.end() ? kNone : it->second;
  }

  std::uint32_t parent(std::uint32_t node) const { return parent_[node]; }
  std::optional<RecipeEntryKind> kind(std::uint32_t node) const {
    return node == kNone ? std::nullopt : kind_[node];
  }
  void setKind(std::uint32_t node, RecipeEntryKind k) { kind_[node] = k; }

 private:
  struct Key {
    std::uint32_t parent;
    std::string_view name;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const {
      std::uint64_t h = 0xcbf29ce484222325ull ^ (std::uint64_t{k.parent} * 0x9e3779b97f4a7c15ull);
      for (char c : k.name) h = (h ^ static_cast<unsigned char>(asciiLowerChar(c))) * 0x100000001b3ull;
      return static_cast<std::size_t>(h ^ (h >> 29));
    }
  };
  struct KeyEq {
    bool operator()(const Key& a, const Key& b) const { return a.parent == b.parent && asciiEqualIgnoreCase(a.name, b.name); }
  };

  std::vector<std::uint32_t> parent_;
  std::vector<std::optional<RecipeEntryKind>> kind_;
  std::unordered_map<Key, std::uint32_t, KeyHash, KeyEq> children_;
};

Status checkHeader(const UpdateRecipe& r) {
  if (r.schema_version != 1) return Error::InvalidRecipe;
  if (r.archive_size < kMinArchiveSize) return Error::InvalidRecipe;
  if (r.archive_size % kTarBlockSize != 0) return Error::InvalidRecipe;
  if (!isSha256Hex(r.archive_sha256)) return Error::InvalidRecipe;
  TRY(validateArchivePath(r.root));
  if (r.root.find('/') != std::string::npos) return Error::InvalidRecipe;
  if (r.root_mode > kMaxMode || r.entries.size() > kMaxEntries || r.spans.size() > kMaxSpans) {
    return Error::InvalidRecipe;
  }
  return success();
}

Status checkEntryShape(const RecipeEntry& e) {
  switch (e.kind) {
    case RecipeEntryKind::file:
      if (!e.sha256 || !isSha256Hex(*e.sha256) || e.link_target) return Error::InvalidRecipe;
      return success();
    case RecipeEntryKind::directory:
      if (e.size != 0 || e.sha256 || e.link_target) return Error::InvalidRecipe;
      return success();
    case RecipeEntryKind::symlink:
      if (e.size != 0 || e.sha256 || !e.link_target) return Error::InvalidRecipe;
      return validateLinkTarget(e.path, *e.link_target);
    case RecipeEntryKind::hardlink:
      if (e.size != 0 || e.sha256 || !e.link_target) return Error::InvalidRecipe;
      return validateArchivePath(*e.link_target);
  }
  return Error::InvalidRecipe;
}

// The link-target rule counts ".." lexically. Once the walk has passed
// through a symbolic link of the archive, ".." climbs from wherever that
// link points, not from the walked name: with a -> "." the target "a/.."
// is the root's parent. So ".." is refused from the point where the walked
// part is, or lies below, a symbolic-link entry.
Status checkLinkWalk(const FoldedTree& tree, std::uint32_t linkNode, std::string_view target,
                     std::vector<std::uint32_t>& walk) {
  walk.clear();
  bool belowLink = false;
  for (std::uint32_t n = tree.parent(linkNode); n != FoldedTree::kNone; n = tree.parent(n)) {
    walk.push_back(n);
    if (tree.kind(n) == RecipeEntryKind::symlink) belowLink = true;
  }
  std::reverse(walk.begin(), walk.end());  // root first, the link's folder last
  const bool accepted = forEachArchiveComponent(target, [&](std::string_view c) {
    if (c == ".") return true;
    if (c == "..") {
      if (belowLink || walk.size() <= 1) return false;
      walk.pop_back();
      return true;
    }
    if (belowLink) return true;  // nothing below a link can be told apart lexically
    const std::uint32_t next = tree.child(walk.back(), c);
    walk.push_back(next);
    if (tree.kind(next) == RecipeEntryKind::symlink) belowLink = true;
    return true;
  });
  if (!accepted) return Error::InvalidLinkTarget;
  return success();
}

Status validate(const UpdateRecipe& r) {
  TRY(checkHeader(r));

  FoldedTree tree(r.entries.size());
  std::unordered_map<std::string_view, std::size_t> byPath;  // exact path -> entry index
  byPath.reserve(r.entries.size());
  std::vector<std::uint32_t> nodeOf(r.entries.size());
  std::size_t fileCount = 0;

  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    const RecipeEntry& e = r.entries[i];
    TRY(validateArchivePath(e.path));
    if (e.mode > kMaxMode || e.tar_offset > r.archive_size || e.size > r.archive_size - e.tar_offset) {
      return Error::InvalidRecipe;
    }
    // A folder spelled in two letter cases is one folder on disk, which the
    // unpacking fills under its first spelling; the tree would then never
    // verify against the recipe. Refused like any other case twin.
    bool respelled = false;
    const std::uint32_t node = tree.insert(e.path, respelled);
    if (tree.kind(node) || respelled) return Error::DuplicateArchivePath;
    tree.setKind(node, e.kind);
    nodeOf[i] = node;
    byPath.emplace(e.path, i);
    TRY(checkEntryShape(e));
    if (e.kind == RecipeEntryKind::file) ++fileCount;
  }

  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    const RecipeEntry& e = r.entries[i];
    for (std::uint32_t n = tree.parent(nodeOf[i]); n != FoldedTree::kRoot; n = tree.parent(n)) {
      const auto k = tree.kind(n);
      if (k && *k != RecipeEntryKind::directory) return Error::NonDirectoryArchiveAncestor;
    }
    if (e.kind == RecipeEntryKind::hardlink) {
      auto it = byPath.find(*e.link_target);
      if (it == byPath.end() || r.entries[it->second].kind != RecipeEntryKind::file) {
        return Error::InvalidLinkTarget;
      }
    }
  }

  std::vector<std::uint32_t> walk;
  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    const RecipeEntry& e = r.entries[i];
    if (e.kind == RecipeEntryKind::symlink) TRY(checkLinkWalk(tree, nodeOf[i], *e.link_target, walk));
  }

  std::uint64_t offset = 0;
  std::uint64_t literalTotal = 0;
  std::vector<bool> named(r.entries.size(), false);
  std::size_t namedCount = 0;
  for (const RecipeSpan& s : r.spans) {
    if (s.literal_hex.has_value() == s.path.has_value()) return Error::InvalidRecipe;
    if (s.literal_hex) {
      if (s.size > kMaxLiteral || !isHexOfLength(*s.literal_hex, 2 * s.size)) return Error::InvalidRecipe;
      literalTotal += s.size;
      if (literalTotal > kMaxLiteral) return Error::RecipeTooLarge;
    } else {
      auto it = byPath.find(*s.path);
      if (it == byPath.end()) return Error::InvalidRecipe;
      const RecipeEntry& e = r.entries[it->second];
      if (e.kind != RecipeEntryKind::file || e.size != s.size || e.tar_offset != offset) return Error::InvalidRecipe;
      if (named[it->second]) return Error::InvalidRecipe;
      named[it->second] = true;
      ++namedCount;
    }
    if (s.size > std::numeric_limits<std::uint64_t>::max() - offset) return Error::InvalidRecipe;
    offset += s.size;
  }
  if (offset != r.archive_size) return Error::InvalidRecipe;
  if (namedCount != fileCount) return Error::InvalidRecipe;
  return checkRecipeSize(r);
}

}  // namespace

Status validateRecipe(const UpdateRecipe& recipe) {
  try {
    return validate(recipe);
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  } catch (const std::length_error&) {
    return Error::OutOfMemory;
  }
}

Status checkRecipeSize(const UpdateRecipe& recipe) {
  CountingWriter counter;
  TRY(stringifyRecipe(recipe, counter));
  if (counter.count() > kMaxRecipeText) return Error::RecipeTooLarge;
  return success();
}

}  // namespace tl
