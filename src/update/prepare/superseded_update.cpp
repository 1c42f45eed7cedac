#include "update/prepare/superseded_update.h"

#include <optional>
#include <string>
#include <vector>

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

// The record when it is of the current schema and names a well-formed
// version; nothing when it is missing or otherwise.
Result<std::optional<PreparedUpdate>> readCurrentRecord(const PreparationState& st) {
  const Result<std::string> text = readArchiveFile(st.selfExtraction, kPreparedUpdateFileName, kPreparedUpdateCap);
  if (!text.ok()) {
    if (text.error() == Error::FileNotFound) return std::optional<PreparedUpdate>();
    return text.error();
  }
  Result<PreparedUpdate> parsed = parsePreparedUpdate(*text);
  if (!parsed.ok() || parsed->schema_version != 2 || !isValidBuildHash(parsed->hash)) {
    return std::optional<PreparedUpdate>();
  }
  return std::optional<PreparedUpdate>(parsed.take());
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

Status removePreparedVersion(PreparationState& st, std::string_view hash, RecordRemoval record) {
  {
    const InstallLock installLock = TRY(acquireInstallMutex(st.request.request.channel_root, platform::kInfinite));
    TRY(setPreparedFolderAside(st, preparedDirName(st.request.bundle_name, hash)));
    if (hash != st.request.request.base_hash) TRY(deleteFileWithRetries(st.selfExtraction, recipeFileName(hash)));
    bool recordGoes = record == RecordRemoval::Always;
    if (!recordGoes) {
      const std::optional<PreparedUpdate> current = TRY(readCurrentRecord(st));
      recordGoes = current && current->hash == hash;
    }
    if (recordGoes) TRY(deleteFileWithRetries(st.selfExtraction, kPreparedUpdateFileName));
  }
  return requireOwnedStageDeleted(st);
}

Status removeSupersededUpdate(PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  const std::optional<PreparedUpdate> rec = TRY(readCurrentRecord(st));
  if (!rec || rec->hash == r.base_hash || rec->hash == r.hash) return success();
  TRY(checkRecordPlace(st, *rec));
  return removePreparedVersion(st, rec->hash);
}

Status removeOtherPreparedVersions(PreparationState& st) {
  std::vector<std::string> others;
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(st.bundleParent));
  for (const fs::DirEntry& entry : entries) {
    std::string_view hash;
    if (entry.kind != fs::FileKind::Directory || !isPreparedDirName(entry.name, st.request.bundle_name, &hash) ||
        hash == st.request.request.hash) {
      continue;
    }
    others.emplace_back(hash);
  }
  // The mutex is taken for each on its own, never across the whole walk. A
  // folder that cannot go now (a file of it held open, or already removed by
  // the application that emptied it) is left for the next run: only this
  // run's stage name must be free again before the run builds its own.
  for (const std::string& hash : others) {
    const Status removed = removePreparedVersion(st, hash, RecordRemoval::WhenItNamesTheVersion);
    if (!removed && removed.error() == Error::OutOfMemory) return removed;
    if (!removed) TRY(requireOwnedStageDeleted(st));
  }
  return success();
}

}  // namespace tl
