#pragma once
// Turns the installer's compressed application archive into an unpacked tree
// and the archive's recipe file, both in the extraction folder.
#include <optional>
#include <string>
#include <string_view>

#include "archive/pull_reader.h"
#include "common/result.h"

namespace tl {

// A build hash names files: one or more ASCII letters, digits, '_' and '-'.
bool isValidArchiveHash(std::string_view hash);
// "<hash>.recipe.json", or "current.recipe.json" without a hash;
// InvalidArchiveHash for a hash that cannot name a file.
[[nodiscard]] Result<std::string> installerRecipeFileName(std::optional<std::string_view> buildHash);

// compressed: the .tar.zst bytes. extractionFolder: an existing, empty
// folder. The archive's root folder is unpacked into it and the recipe
// written beside it. On failure what was unpacked stays for the caller to
// delete.
[[nodiscard]] Status unpackInstallerArchive(PullReader& compressed, std::string_view extractionFolder,
                                            std::optional<std::string_view> buildHash);

}  // namespace tl
