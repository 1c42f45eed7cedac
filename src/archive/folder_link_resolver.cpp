#include "archive/folder_link_resolver.h"

#include <algorithm>
#include <string>

#include "archive/archive_path.h"

namespace tl {

FolderLinkResolver::FolderLinkResolver(const UpdateRecipe& recipe)
    : recipe_(recipe), outcome_(recipe.entries.size(), Outcome::Unknown) {
  byPath_.reserve(recipe.entries.size());
  sorted_.reserve(recipe.entries.size());
  for (std::size_t i = 0; i < recipe.entries.size(); ++i) {
    const std::string_view path = recipe.entries[i].path;
    byPath_.emplace(path, i);  // the first entry of a path wins
    sorted_.push_back(path);
  }
  std::sort(sorted_.begin(), sorted_.end());
}

bool FolderLinkResolver::isAncestorOfAnEntry(const std::string& path) const {
  // Paths below path + "/" sort together, and the first path not before
  // path + "/" is one of them when any exists.
  const std::string below = path + '/';
  const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), std::string_view(below));
  return it != sorted_.end() && it->substr(0, below.size()) == below;
}

FolderLinkResolver::Outcome FolderLinkResolver::resolveOnce(std::size_t index, std::size_t& nextLink) {
  const RecipeEntry& link = recipe_.entries[index];
  const std::string_view target = link.link_target ? std::string_view(*link.link_target) : std::string_view{};
  std::string resolved(archiveParentPath(link.path));

  const bool inside = forEachArchiveComponent(target, [&](std::string_view component) {
    if (component == "..") {
      if (resolved.empty()) return false;
      const std::size_t cut = resolved.rfind('/');
      resolved.resize(cut == std::string::npos ? 0 : cut);
    } else if (component != ".") {
      if (!resolved.empty()) resolved.push_back('/');
      resolved.append(component);
    }
    return true;
  });
  if (!inside) return Outcome::BadTarget;

  if (resolved.empty()) return Outcome::Folder;  // the root folder itself
  const auto found = byPath_.find(resolved);
  if (found == byPath_.end()) {
    return isAncestorOfAnEntry(resolved) ? Outcome::Folder : Outcome::File;
  }
  switch (recipe_.entries[found->second].kind) {
    case RecipeEntryKind::directory:
      return Outcome::Folder;
    case RecipeEntryKind::file:
    case RecipeEntryKind::hardlink:
      return Outcome::File;
    case RecipeEntryKind::symlink:
      nextLink = found->second;
      return Outcome::Pending;
  }
  return Outcome::File;
}

Result<bool> FolderLinkResolver::isFolderLink(std::size_t index) {
  // Follow the chain, marking each link on it as pending. Meeting a pending
  // link again is a cycle; meeting a decided one ends the walk with its
  // outcome. Every link on the chain then shares the outcome, so each link is
  // resolved once however long the chains are.
  std::vector<std::size_t> chain;
  Outcome result = Outcome::Unknown;
  std::size_t current = index;
  for (;;) {
    const Outcome known = outcome_[current];
    if (known == Outcome::Pending) {
      result = Outcome::Cycle;
      break;
    }
    if (known != Outcome::Unknown) {
      result = known;
      break;
    }
    outcome_[current] = Outcome::Pending;
    chain.push_back(current);
    ++steps_;
    std::size_t next = current;
    const Outcome step = resolveOnce(current, next);
    if (step != Outcome::Pending) {
      result = step;
      break;
    }
    current = next;
  }
  for (const std::size_t i : chain) outcome_[i] = result;

  switch (result) {
    case Outcome::Folder:
      return true;
    case Outcome::File:
      return false;
    case Outcome::Cycle:
      return Error::SymlinkCycle;
    case Outcome::BadTarget:
      return Error::InvalidLinkTarget;
    default:
      return Error::Unexpected;
  }
}

}  // namespace tl
