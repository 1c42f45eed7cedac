#include "update/superseded_update.h"

#include <new>

#include "archive/no_follow_access.h"
#include "common/ascii_case.h"
#include "common/install_mutex.h"
#include "common/paths.h"
#include "common/sha256.h"
#include "update/prepared_app_check.h"
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

// The old prepared folder is what its record and recipe say, to the last byte.
Status checkPreparedFolder(const PreparationState& st, const PreparedUpdate& rec) {
  const std::string recipeText = TRY(readArchiveFile(st.selfExtraction, recipeFileName(rec.hash), kMaxRecipeText));
  if (!isSha256Hex(rec.recipe_sha256)) return Error::InvalidPreparedUpdate;
  if (sha256Hex(recipeText) != rec.recipe_sha256) return Error::PreparedRecipeHashMismatch;
  const UpdateRecipe recipe = TRY(parseRecipe(recipeText));
  const AppVersionInfo prepared = TRY(verifyPreparedApp(st.request.request, recipe, st.bundleParent,
                                                        preparedDirName(st.request.bundle_name, rec.hash),
                                                        /*verifyTree=*/true));
  if (prepared.hash != rec.hash || prepared.version != rec.version) return Error::InvalidPreparedUpdate;
  return success();
}

Status removeSuperseded(const PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  const Result<std::string> text = readArchiveFile(st.selfExtraction, kPreparedUpdateFileName, kPreparedUpdateCap);
  if (!text.ok()) return text.error() == Error::FileNotFound ? success() : Status(text.error());
  const Result<PreparedUpdate> parsed = parsePreparedUpdate(*text);
  if (!parsed.ok() || parsed->schema_version != 2 || !isValidBuildHash(parsed->hash)) return success();
  const PreparedUpdate& rec = *parsed;
  if (rec.hash == r.base_hash || rec.hash == r.hash) return success();
  TRY(checkRecordPlace(st, rec));

  // From the check to the last delete: an application of that version,
  // which renames the prepared folder into place under this mutex, either
  // finished before (and the check fails on the missing folder) or waits.
  const InstallLock installLock = TRY(acquireInstallMutex(r.channel_root, platform::kInfinite));
  TRY(checkPreparedFolder(st, rec));
  TRY(fs::deleteTreeAt(st.bundleParent, preparedDirName(st.request.bundle_name, rec.hash)));
  TRY(fs::deleteFileAt(st.selfExtraction, recipeFileName(rec.hash)));
  TRY(fs::deleteFileAt(st.selfExtraction, kPreparedUpdateFileName));
  return success();
}

}  // namespace

Status removeSupersededUpdate(const PreparationState& state) {
  try {
    return removeSuperseded(state);
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

}  // namespace tl
