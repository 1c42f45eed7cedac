#include "update/prepare/superseded_update.h"

#include "archive/no_follow_access.h"
#include "common/ascii_case.h"
#include "common/install_mutex.h"
#include "common/paths.h"
#include "common/retrying_delete.h"
#include "update/prepare/owned_stage.h"
#include "update/prepared_update.h"
#include "update/update_names.h"

namespace tl {

namespace {

// The record describes a version this request replaces, with the identity
// and the paths a preparation of this installation writes.
Status checkRecordPlace(const PreparationState& st, const PreparedUpdate& rec) {
  const PrepareUpdateRequest& r = st.request.request;
  if (rec.identifier != r.identifier || rec.channel != r.channel || rec.platform != r.platform ||
      rec.arch != r.arch) {
    return Error::InvalidPreparedUpdate;
  }
  const std::string bundleParent = parentPath(r.app_bundle_path).value_or("");
  const std::string staging = joinPath({bundleParent, preparedDirName(st.request.bundle_name, rec.hash)});
  const std::string recipe = joinPath({r.channel_root, "self-extraction", recipeFileName(rec.hash)});
  if (!asciiEqualIgnoreCase(rec.staging_path, staging) || !asciiEqualIgnoreCase(rec.recipe_path, recipe)) {
    return Error::InvalidPreparedUpdate;
  }
  return success();
}

// One rename turns the prepared folder into this run's stage: a kill after
// it leaves a stage for the next run's sweep, never half a prepared folder
// that a record still names.
Status setPreparedFolderAside(PreparationState& st, std::string_view preparedName) {
  const Result<fs::FileStat> found = fs::statAt(st.bundleParent, preparedName);
  if (!found.ok()) return found.error() == Error::FileNotFound ? success() : Status(found.error());
  if (found->kind != fs::FileKind::Directory) return Error::InvalidOrphanedUpdateStage;
  TRY(fs::renameAt(st.bundleParent, preparedName, st.bundleParent, st.stageName));
  st.stageOwned = true;
  return success();
}

}  // namespace

Status removePreparedVersion(PreparationState& st, std::string_view hash) {
  {
    const InstallLock installLock = TRY(acquireInstallMutex(st.request.request.channel_root, platform::kInfinite));
    TRY(setPreparedFolderAside(st, preparedDirName(st.request.bundle_name, hash)));
    TRY(deleteFileWithRetries(st.selfExtraction, recipeFileName(hash)));
    TRY(deleteFileWithRetries(st.selfExtraction, kPreparedUpdateFileName));
  }
  return requireOwnedStageDeleted(st);
}

Status removeSupersededUpdate(PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  const Result<std::string> text = readArchiveFile(st.selfExtraction, kPreparedUpdateFileName, kPreparedUpdateCap);
  if (!text.ok()) return text.error() == Error::FileNotFound ? success() : Status(text.error());
  const Result<PreparedUpdate> parsed = parsePreparedUpdate(*text);
  if (!parsed.ok() || parsed->schema_version != 2 || !isValidBuildHash(parsed->hash)) return success();
  const PreparedUpdate& rec = *parsed;
  if (rec.hash == r.base_hash || rec.hash == r.hash) return success();
  TRY(checkRecordPlace(st, rec));
  return removePreparedVersion(st, rec.hash);
}

}  // namespace tl
