#pragma once
// Decides, from a recipe alone, whether each symbolic link points at a folder
// (Windows makes folder links and file links differently). A link is followed
// through other link entries to what it finally names.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/update_recipe.h"
#include "common/result.h"

namespace tl {

class FolderLinkResolver {
 public:
  // The recipe must outlive the resolver and stay unchanged.
  explicit FolderLinkResolver(const UpdateRecipe& recipe);

  // For the symlink entry at `index`: true for a folder link. A chain of links
  // that never ends is SymlinkCycle; a target that climbs above the root is
  // InvalidLinkTarget.
  [[nodiscard]] Result<bool> isFolderLink(std::size_t index);

  // Resolution steps taken so far (one per link followed), for tests.
  std::uint64_t steps() const { return steps_; }

 private:
  enum class Outcome : std::uint8_t { Unknown, Pending, Folder, File, Cycle, BadTarget };

  // Where one link's own target leads: a final outcome, or another link.
  Outcome resolveOnce(std::size_t index, std::size_t& nextLink);
  bool isAncestorOfAnEntry(const std::string& path) const;

  const UpdateRecipe& recipe_;
  std::unordered_map<std::string_view, std::size_t> byPath_;
  // Every entry path in byte order, to tell whether a path is an ancestor of
  // some entry (then it is a folder even when no entry lists it) without
  // hashing every prefix of every path.
  std::vector<std::string_view> sorted_;
  std::vector<Outcome> outcome_;
  std::uint64_t steps_ = 0;
};

}  // namespace tl
