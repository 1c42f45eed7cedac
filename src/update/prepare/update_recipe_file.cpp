#include "update/prepare/update_recipe_file.h"

#include "archive/buffered_file_writer.h"
#include "archive/no_follow_access.h"
#include "archive/staged_tree.h"
#include "common/atomic_write.h"
#include "common/paths.h"
#include "common/self_extraction_names.h"
#include "update/update_paths.h"

namespace tl {

namespace {

}  // namespace

Status writeRecipeFileAtomically(const fs::Dir& folder, std::string_view name, const UpdateRecipe& recipe) {
  TRY(requireFileOrNothingAt(folder, name));
  return writeFileAtomicallyAt(folder, name, [&recipe](fs::File& file) -> Status {
    BufferedFileWriter writer(file);
    TRY(writer.init());
    TRY(stringifyRecipe(recipe, writer));
    return writer.flush();
  });
}

Result<LocatedRecipe> locateSelfExtractionRecipe(const fs::Dir& selfExtraction, std::string_view channelRoot,
                                                 std::string_view hash) {
  const std::string name = recipeFileName(hash);
  fs::File file = TRY(openArchiveFile(selfExtraction, name));
  const fs::FileStat st = TRY(fs::statFile(file));
  if (st.size > kMaxRecipeText) return Error::RecipeTooLarge;
  LocatedRecipe located;
  located.sha256 = TRY(hashFileSha256(file, st.size));
  located.path = joinPath({channelRoot, "self-extraction", name});
  return located;
}

}  // namespace tl
