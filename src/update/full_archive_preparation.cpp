#include "update/full_archive_preparation.h"

#include <new>
#include <optional>

#include "archive/prefetching_pull_reader.h"
#include "archive/tar_reader.h"
#include "archive/zstd_pull_reader.h"
#include "update/owned_stage.h"
#include "update/prepared_app_check.h"
#include "update/update_download.h"
#include "update/update_url.h"

namespace tl {

namespace {

// Passes the decoded stream on and fails at the first byte beyond the cap,
// keeping that failure for the consumer to report.
class DecodedSizeCap final : public PullReader {
 public:
  DecodedSizeCap(PullReader& inner, std::uint64_t cap) : inner_(inner), cap_(cap) {}

  Result<std::size_t> read(void* buf, std::size_t n) override {
    if (failure_) return *failure_;
    // One byte more than the cap allows is asked for, so that a stream of
    // exactly the cap's length passes and a longer one is caught at once.
    const std::uint64_t room = cap_ - passed_ + 1;
    const std::size_t ask = n < room ? n : static_cast<std::size_t>(room);
    const std::size_t got = TRY(inner_.read(buf, ask));
    passed_ += got;
    if (passed_ > cap_) {
      failure_ = Error::UpdateArchiveTooLarge;
      return *failure_;
    }
    return got;
  }
  std::optional<Error> failure() const { return failure_; }

 private:
  PullReader& inner_;
  std::uint64_t cap_;
  std::uint64_t passed_ = 0;
  std::optional<Error> failure_;
};

Result<UpdateRecipe> extract(const fs::Dir& stage, PullReader& body, std::uint64_t decodedCap) {
  ZstdPullReader decoded(body);
  TRY(decoded.init());
  DecodedSizeCap capped(decoded, decodedCap);
  ArchiveDestination destination(stage);
  // The body is received and decoded ahead on a thread of its own while the
  // tar reader hashes, writes and syncs each file.
  PrefetchingPullReader ahead(capped);
  Result<ExtractedArchive> extracted = extractTarArchive(ahead, std::nullopt, &destination);
  ahead.stop();  // the readers below may be asked only once they rest
  if (!extracted.ok()) {
    if (decoded.failure()) return *decoded.failure();
    if (capped.failure()) return *capped.failure();
    return extracted.error();
  }
  return std::move(extracted->recipe);
}

Result<StagedUpdate> runFullRoad(PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  TRY(deleteOwnedStage(st));
  TRY(fs::makeDirAt(st.bundleParent, st.stageName));
  st.stageOwned = true;
  std::optional<UpdateRecipe> recipe;
  {
    const fs::Dir stage = TRY(fs::openDirAt(st.bundleParent, st.stageName));
    const std::string url = TRY(buildUpdateUrl(r.base_url, r.artifact_file, r.transaction_id));
    TRY(downloadUpdateFile(url, [&stage, &recipe](PullReader& body) -> Status {
      recipe = TRY(extractTarZstStream(stage, body));
      return success();
    }));
  }
  StagedUpdate staged;
  staged.version = TRY(verifyPreparedApp(r, *recipe, st.bundleParent, st.stageName, /*verifyTree=*/false));
  TRY(checkStagedIdentity(r, staged.version, *recipe));
  staged.recipe = std::move(*recipe);
  return staged;
}

}  // namespace

Result<UpdateRecipe> extractTarZstStream(const fs::Dir& stage, PullReader& body, std::uint64_t decodedCap) {
  try {
    return extract(stage, body, decodedCap);
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

Result<StagedUpdate> prepareFullArchive(PreparationState& state) {
  try {
    return runFullRoad(state);
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

}  // namespace tl
