#include "update/prepare/delta_preparation.h"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "archive/file_pull_reader.h"
#include "archive/no_follow_access.h"
#include "archive/prefetching_pull_reader.h"
#include "archive/tar_reader.h"
#include "platform/io_context.h"
#include "update/download/download_pump.h"
#include "update/download/update_download.h"
#include "update/download/update_url.h"
#include "update/patch/base_archive.h"
#include "update/patch/patch_format.h"
#include "update/patch/patch_source.h"
#include "update/patch/patched_archive_reader.h"
#include "update/prepare/owned_stage.h"
#include "update/prepare/prepared_app_check.h"
#include "update/prepare/update_recipe_file.h"
#include "update/update_names.h"
#include "update/update_paths.h"

namespace tl {

namespace {

// The recipe of the installed archive: its file, or else the recipe of the
// cached archive, read through without unpacking anything.
Result<UpdateRecipe> readBaseRecipe(const fs::Dir& selfExtraction, std::string_view baseHash) {
  Result<std::string> text = readArchiveFile(selfExtraction, recipeFileName(baseHash), kMaxRecipeText);
  if (text.ok()) return parseRecipe(*text);
  if (text.error() != Error::FileNotFound) return text.error();
  fs::File cached = TRY(openArchiveFile(selfExtraction, cachedArchiveFileName(baseHash)));
  const fs::FileStat st = TRY(fs::statFile(cached));
  FilePullReader reader(cached);
  ExtractedArchive read = TRY(extractTarArchive(reader, st.size, nullptr));
  return std::move(read.recipe);
}

// Once the base archive has been rebuilt from it, the base recipe is kept as
// a file and the cached archive it may have come from is no longer needed.
Status keepBaseRecipe(const PreparationState& st, const UpdateRecipe& recipe) {
  const std::string_view baseHash = st.request.request.base_hash;
  TRY(writeRecipeFileAtomically(st.selfExtraction, recipeFileName(baseHash), recipe));
  const std::string cached = cachedArchiveFileName(baseHash);
  TRY(requireFileOrNothingAt(st.selfExtraction, cached));
  const Status removed = fs::deleteFileAt(st.selfExtraction, cached);
  if (!removed.ok() && removed.error() != Error::FileNotFound) return removed.error();
  return success();
}

// The patch file of one step, closed and deleted however the step ends.
class StepPatchFile {
 public:
  StepPatchFile(const fs::Dir& folder, std::string name) : folder_(folder), name_(std::move(name)) {}
  ~StepPatchFile() {
    if (!created_) return;
    file.close();
    (void)fs::deleteFileAt(folder_, name_);
  }
  StepPatchFile(const StepPatchFile&) = delete;
  StepPatchFile& operator=(const StepPatchFile&) = delete;

  // A leftover of the same name (a run of this transaction cut off) is
  // truncated rather than refused.
  Status create() {
    file = TRY(fs::createFileAt(folder_, name_, /*exclusive=*/false, /*truncate=*/true));
    created_ = true;
    return success();
  }

  fs::File file;

 private:
  const fs::Dir& folder_;
  std::string name_;
  bool created_ = false;
};

Status downloadPatch(const PrepareUpdateRequest& r, std::string_view fromHash, fs::File& file) {
  const std::string serverName = concatStrings(concatStrings(artifactPrefix(r.channel, r.platform, r.arch), fromHash), ".patch");
  const std::string url = TRY(buildUpdateUrl(r.base_url, serverName, r.transaction_id));
  // A patch longer than the archive it makes is of no use: the full download
  // is the cheaper road then (UpdateDownloadTooLarge falls back to it).
  const std::uint64_t budget = r.tar_size ? std::min(*r.tar_size, kUpdateDownloadBudget) : kUpdateDownloadBudget;
  return downloadUpdateFile(
      url, [&file](PullReader& body) { return pumpDownloadToFile(file, body); }, budget);
}

// Streams the patched archive into a new stage folder; its recipe, built
// from the bytes as they were unpacked.
Result<UpdateRecipe> unpackIntoStage(PreparationState& st, const platform::CommittedBuffer& oldArchive,
                                     PatchContext& patch) {
  TRY(fs::makeDirAt(st.bundleParent, st.stageName));
  st.stageOwned = true;
  const fs::Dir stage = TRY(fs::openDirAt(st.bundleParent, st.stageName));
  MemoryPatchSource source(std::string_view(reinterpret_cast<const char*>(oldArchive.data()), oldArchive.size()));
  PatchedArchiveReader patched(source, patch.control, patch.diff, patch.extra, patch.header.newSize);
  ArchiveDestination destination(stage);
  // The patch is applied ahead on a thread of its own while the tar reader
  // hashes, writes and flushes. Told the new size, the tar reader pulls once
  // past it: that pull is what makes the patch reader verify its end.
  PrefetchingPullReader ahead(patched);
  Result<ExtractedArchive> extracted = extractTarArchive(ahead, patch.header.newSize, &destination);
  ahead.stop();  // the patch reader's state may be read only once it rests
  if (!extracted.ok()) return patched.failure() ? *patched.failure() : extracted.error();
  if (!patched.ended()) return Error::IncompleteUpdatePatch;
  return std::move(extracted->recipe);
}

// The unpacked version a step starts from: the installed application at the
// first step, the one staged by the step before after it.
Result<fs::Dir> openStepSource(const PreparationState& st, const UpdateRecipe& from, unsigned index) {
  if (index == 0) return fs::openDirAt(st.bundleParent, st.request.bundle_name);
  const fs::Dir stage = TRY(fs::openDirAt(st.bundleParent, st.stageName));
  return fs::openDirAt(stage, from.root);
}

// One step of the chain: from the version in `source` (its recipe `from`)
// to the version the patch of `fromHash` makes, unpacked into the stage.
Result<StagedUpdate> applyPatchStep(PreparationState& st, const UpdateRecipe& from, std::string_view fromHash,
                                    unsigned index) {
  const PrepareUpdateRequest& r = st.request.request;
  platform::CommittedBuffer oldArchive;
  {
    const fs::Dir source = TRY(openStepSource(st, from, index));
    oldArchive = TRY(rebuildArchiveInMemory(from, source));
  }
  if (index == 0) TRY(keepBaseRecipe(st, from));
  TRY(requireOwnedStageDeleted(st));

  StepPatchFile patchFile(st.selfExtraction, patchFileName(r.transaction_id, index));
  TRY(patchFile.create());
  TRY(downloadPatch(r, fromHash, patchFile.file));
  const fs::FileStat patchStat = TRY(fs::statFile(patchFile.file));
  PatchContext patch = TRY(openPatchFile(patchFile.file, patchStat.size));
  Result<UpdateRecipe> recipe = unpackIntoStage(st, oldArchive, patch);
  freePatchStreams(patch);
  if (!recipe.ok()) return recipe.error();

  StagedUpdate staged;
  staged.version = TRY(verifyPreparedApp(r, *recipe, st.bundleParent, st.stageName, /*verifyTree=*/false));
  staged.recipe = recipe.take();
  return staged;
}

}  // namespace

Result<StagedUpdate> buildUpdatedArchive(PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  UpdateRecipe recipe = TRY(readBaseRecipe(st.selfExtraction, r.base_hash));
  std::string fromHash = r.base_hash;
  std::unordered_set<std::string> startedFrom;
  for (unsigned index = 0;; ++index) {
    if (io().canceled()) return Error::Canceled;
    if (!startedFrom.insert(fromHash).second) return Error::UpdatePatchCycle;
    if (recipe.archive_size > kMaxPatchedArchiveSize) return Error::UpdateArchiveTooLarge;
    StagedUpdate staged = TRY(applyPatchStep(st, recipe, fromHash, index));
    if (staged.version.hash == r.hash) {
      TRY(checkStagedIdentity(r, staged.version, staged.recipe));
      return staged;
    }
    if (index + 1 == kMaxPatchChain) return Error::UpdatePatchChainTooLong;
    fromHash = std::move(staged.version.hash);
    recipe = std::move(staged.recipe);
  }
}

}  // namespace tl
