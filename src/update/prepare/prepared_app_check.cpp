#include "update/prepare/prepared_app_check.h"

#include "archive/no_follow_access.h"
#include "archive/staged_tree.h"
#include "update/update_names.h"

namespace tl {

namespace {

}  // namespace

Result<AppVersionInfo> verifyPreparedApp(const PrepareUpdateRequest& request, const UpdateRecipe& recipe,
                                         const fs::Dir& parent, std::string_view stageName, bool verifyTree) {
  const fs::Dir stage = TRY(fs::openDirAt(parent, stageName, /*list=*/true));
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(stage));
  if (entries.size() != 1 || entries[0].kind != fs::FileKind::Directory || entries[0].name != recipe.root) {
    return Error::InvalidUpdateStage;
  }
  const fs::Dir root = TRY(fs::openDirAt(stage, recipe.root));
  if (verifyTree) TRY(verifyStagedTree(recipe, root));
  AppVersionInfo staged = TRY(readAppVersion(root));
  if (staged.identifier != request.identifier || staged.channel != request.channel ||
      !isValidBuildHash(staged.hash) || !isValidText(staged.version)) {
    return Error::InvalidUpdateIdentity;
  }
  const fs::File launcher = TRY(openArchiveFile(root, "bin/launcher.exe"));
  return staged;
}

Status checkStagedIdentity(const PrepareUpdateRequest& request, const AppVersionInfo& staged,
                           const UpdateRecipe& recipe) {
  if (staged.hash != request.hash || staged.version != request.version) return Error::InvalidUpdateIdentity;
  if (request.tar_size && recipe.archive_size != *request.tar_size) return Error::ArchiveSizeMismatch;
  if (request.tar_sha256 && recipe.archive_sha256 != *request.tar_sha256) return Error::ArchiveHashMismatch;
  return success();
}

}  // namespace tl
