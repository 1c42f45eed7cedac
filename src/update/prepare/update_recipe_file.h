#pragma once
// Recipe files of an update in self-extraction: written so that a reader
// sees the old file or the new one and never a mixture, and located (path
// and digest) for the prepared-update record.
#include <string>
#include <string_view>

#include "archive/update_recipe.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Replaces `name` in `folder` with the recipe's minified JSON through a
// temporary file, flushed to disk and renamed over it. A folder or link
// under the name is InvalidUpdatePath; on any failure the temporary file is
// removed and the old file, if any, stays.
[[nodiscard]] Status writeRecipeFileAtomically(const fs::Dir& folder, std::string_view name,
                                               const UpdateRecipe& recipe);

struct LocatedRecipe {
  std::string path;    // <channel root>\self-extraction\<hash>.recipe.json
  std::string sha256;  // of the file's bytes, 64 lowercase hexadecimal digits
};

// The recipe file of build `hash` in the open self-extraction folder of
// `channelRoot`: a regular file (the no-follow access errors) of at most
// 128 MiB (RecipeTooLarge), hashed as it is read.
[[nodiscard]] Result<LocatedRecipe> locateSelfExtractionRecipe(const fs::Dir& selfExtraction,
                                                               std::string_view channelRoot, std::string_view hash);

}  // namespace tl
