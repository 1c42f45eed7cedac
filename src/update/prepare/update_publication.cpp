#include "update/prepare/update_publication.h"

#include "archive/no_follow_access.h"
#include "common/out_of_memory.h"
#include "common/sha256.h"
#include "update/prepare/owned_stage.h"
#include "update/prepare/preparation_diagnostics.h"
#include "update/prepare/prepared_app_check.h"
#include "update/prepare/stale_archives.h"
#include "update/prepare/superseded_update.h"
#include "update/prepare/update_recipe_file.h"
#include "update/prepared_update.h"

namespace tl {

namespace {

Status writeRecord(const PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  const LocatedRecipe recipe = TRY(locateSelfExtractionRecipe(st.selfExtraction, r.channel_root, r.hash));
  PreparedUpdate record;
  record.schema_version = 2;
  record.identifier = r.identifier;
  record.channel = r.channel;
  record.platform = r.platform;
  record.arch = r.arch;
  record.version = r.version;
  record.hash = r.hash;
  record.staging_path = st.preparedPath;
  record.recipe_path = recipe.path;
  record.recipe_sha256 = recipe.sha256;
  record.artifact_file = r.artifact_file;
  return writePreparedUpdate(st.selfExtraction, record);
}

// Archives of versions before the installed one are of no further use; one
// left behind wastes space but harms nothing, nor does a want of memory here.
void removeStaleArchivesOrWarn(const PreparationState& st) {
  const Status removed =
      catchingOutOfMemory([&] { return removeStaleArchives(st.selfExtraction, st.request.request.base_hash); });
  if (!removed.ok()) warnObsoleteArchivesNotRemoved(removed.error());
}

// The record beside a prepared folder, when it is of the current schema,
// must be that folder's.
Status checkExistingRecord(const PreparationState& st, std::string_view recipeText) {
  const Result<std::string> text = readArchiveFile(st.selfExtraction, kPreparedUpdateFileName, kPreparedUpdateCap);
  if (!text.ok()) return text.error() == Error::FileNotFound ? success() : Status(text.error());
  if (TRY(readPreparedUpdateSchemaVersion(*text)) != 2) return success();
  const PreparedUpdate record = TRY(parsePreparedUpdate(*text));
  if (record.hash != st.request.request.hash || !isSha256Hex(record.recipe_sha256)) {
    return Error::InvalidPreparedUpdate;
  }
  if (record.recipe_sha256 != sha256Hex(recipeText)) return Error::PreparedRecipeHashMismatch;
  return success();
}

// The prepared folder of the requested version and its recipe, to the last
// byte, with the request's identity.
Status checkPreparedVersion(const PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  const std::string recipeText = TRY(readArchiveFile(st.selfExtraction, recipeFileName(r.hash), kMaxRecipeText));
  TRY(checkExistingRecord(st, recipeText));
  const UpdateRecipe recipe = TRY(parseRecipe(recipeText));
  const AppVersionInfo version =
      TRY(verifyPreparedApp(r, recipe, st.bundleParent, st.preparedName, /*verifyTree=*/true));
  return checkStagedIdentity(r, version, recipe);
}

}  // namespace

Status publishStagedUpdate(PreparationState& st, const StagedUpdate& staged) {
  const PrepareUpdateRequest& r = st.request.request;
  const AppVersionInfo version =
      TRY(verifyPreparedApp(r, staged.recipe, st.bundleParent, st.stageName, /*verifyTree=*/true));
  TRY(checkStagedIdentity(r, version, staged.recipe));
  TRY(writeRecipeFileAtomically(st.selfExtraction, recipeFileName(r.hash), staged.recipe));
  TRY(fs::renameAt(st.bundleParent, st.stageName, st.bundleParent, st.preparedName));
  st.stageOwned = false;
  // A folder no record names goes, whatever kept the record from being written.
  const Status recorded = catchingOutOfMemory([&] { return writeRecord(st); });
  if (!recorded.ok()) {
    (void)fs::deleteTreeAt(st.bundleParent, st.preparedName);
    return recorded;
  }
  removeStaleArchivesOrWarn(st);
  tryDeleteOwnedStage(st);
  return success();
}

Result<bool> reusePreparedVersion(PreparationState& st) {
  const Status checked = checkPreparedVersion(st);
  if (!checked.ok()) {
    // A folder that lost a file, or a record or recipe that no longer
    // vouches for it, would otherwise fail every run of this version.
    if (checked.error() == Error::OutOfMemory) return checked.error();
    TRY(removePreparedVersion(st, st.request.request.hash));
    return false;
  }
  TRY(writeRecord(st));
  removeStaleArchivesOrWarn(st);
  return true;
}

}  // namespace tl
