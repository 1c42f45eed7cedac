#pragma once
// Unpacking a tar archive while it is read: the root folder made fresh in the
// destination, folders and files as their entries arrive, links after the
// recipe has been validated. Everything below the root is reached one
// component at a time without following links.
#include <string_view>

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

// Creates the root folder (it must not exist) and keeps its handle.
[[nodiscard]] Status createArchiveRoot(ArchiveDestination& dest, std::string_view rootName);
// A folder entry: missing folders above it are created, an existing folder
// of the name is accepted, anything else there is refused.
[[nodiscard]] Status createArchiveFolder(ArchiveDestination& dest, std::string_view path);
// A file entry: created exclusively, open for writing.
[[nodiscard]] Result<fs::File> createArchiveFile(ArchiveDestination& dest, std::string_view path);
// The second pass: every symbolic and hard link of the (validated) recipe, in
// recipe order.
[[nodiscard]] Status createArchiveLinks(ArchiveDestination& dest, const UpdateRecipe& recipe);

}  // namespace tl
