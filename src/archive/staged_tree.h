#pragma once
// Decides whether an unpacked application tree is exactly what its recipe
// describes: same bytes, same entries and kinds, same link targets, hard
// links that share their target's file, and nothing more.
#include <cstdint>
#include <string>

#include "archive/update_recipe.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// root is the archive's root folder (the one the recipe's root names).
[[nodiscard]] Status verifyStagedTree(const UpdateRecipe& recipe, const fs::Dir& root);

// SHA-256 of an open regular file that must hold exactly expectedSize bytes,
// as 64 lowercase hexadecimal digits.
[[nodiscard]] Result<std::string> hashFileSha256(fs::File& file, std::uint64_t expectedSize);

}  // namespace tl
