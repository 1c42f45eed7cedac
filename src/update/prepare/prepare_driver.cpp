#include "update/prepare/prepare_driver.h"

#include "common/out_of_memory.h"
#include "common/paths.h"
#include "platform/io_context.h"
#include "update/download/http_transfer.h"
#include "update/interrupted_stages.h"
#include "update/prepare/delta_preparation.h"
#include "update/prepare/full_archive_preparation.h"
#include "update/prepare/interrupted_preparations.h"
#include "update/prepare/owned_stage.h"
#include "update/prepare/preparation_diagnostics.h"
#include "update/prepare/superseded_update.h"
#include "update/prepare/update_publication.h"
#include "update/update_locks.h"
#include "update/update_names.h"

namespace tl {

namespace {

constexpr std::string_view kSelfExtraction = "self-extraction";

Status openFolders(PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  st.channelRoot = TRY(fs::openDir(r.channel_root));
  st.lockFile = TRY(takePrepareLock(st.channelRoot));
  const Status made = fs::makeDirAt(st.channelRoot, kSelfExtraction);
  if (!made.ok() && made.error() != Error::PathAlreadyExists) return made.error();
  st.selfExtraction = TRY(fs::openDirAt(st.channelRoot, kSelfExtraction));
  const std::optional<std::string> parent = parentPath(r.app_bundle_path);
  if (!parent) return Error::InvalidUpdatePath;
  Result<fs::Dir> opened = fs::openDir(*parent);
  if (!opened.ok()) return opened.error() == Error::FileNotFound ? Error::InvalidUpdatePath : opened.error();
  st.bundleParent = opened.take();
  return success();
}

Status nameStage(PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  const std::string parent = parentPath(r.app_bundle_path).value_or("");
  st.stageName = stageDirName(st.request.bundle_name, r.transaction_id);
  st.preparedName = preparedDirName(st.request.bundle_name, r.hash);
  const Result<fs::FileStat> found = fs::statAt(st.bundleParent, st.stageName);
  if (found.ok()) return Error::UpdateStageAlreadyExists;
  if (found.error() != Error::FileNotFound) return found.error();
  st.stagePath = joinPath({parent, st.stageName});
  st.preparedPath = joinPath({parent, st.preparedName});
  return success();
}

// Whether the requested version was prepared before (its folder is there).
Result<bool> preparedBefore(const PreparationState& st) {
  const Result<fs::FileStat> found = fs::statAt(st.bundleParent, st.preparedName);
  if (!found.ok()) return found.error() == Error::FileNotFound ? Result<bool>(false) : Result<bool>(found.error());
  if (found->kind != fs::FileKind::Directory) return Error::InvalidOrphanedUpdateStage;
  return true;
}

// Delta first; any failure of it but a cancel, allocation failure included,
// gives way to the full download.
Result<StagedUpdate> stageNewVersion(PreparationState& st) {
  Result<StagedUpdate> delta = catchingOutOfMemory([&] { return buildUpdatedArchive(st); });
  if (delta.ok() || delta.error() == Error::Canceled) return delta;
  reportDeltaUnavailable(delta.error());
  return prepareFullArchive(st);
}

Status prepareUnderLock(PreparationState& st) {
  TRY(removeInterruptedStages(st.bundleParent, st.request.bundle_name, kPrepareStageInfix));
  TRY(removeInterruptedFiles(st.selfExtraction));
  TRY(nameStage(st));
  TRY(removeSupersededUpdate(st));
  // Before the reuse road, which ends the run, and never touching the
  // requested version's folder: every road ends with that one alone.
  TRY(removeOtherPreparedVersions(st));
  if (TRY(preparedBefore(st)) && TRY(reusePreparedVersion(st))) return success();
  const StagedUpdate staged = TRY(stageNewVersion(st));
  return publishStagedUpdate(st, staged);
}

Status run(std::string_view requestPath) {
  PreparationState st;
  st.request = TRY(readPrepareRequest(requestPath));
  TRY(openFolders(st));
  // The stage goes however the run fails, for want of memory too.
  const Status prepared = catchingOutOfMemory([&] { return prepareUnderLock(st); });
  if (!prepared.ok()) tryDeleteOwnedStage(st);
  return prepared;
}

}  // namespace

Status runPrepareUpdate(std::string_view requestPath) {
  return catchingOutOfMemory([&] { return run(requestPath); });
}

void initPrepareUpdate() { initHttpClient(); }

}  // namespace tl
