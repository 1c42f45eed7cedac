#include "update/prepare/full_archive_preparation.h"

#include <optional>

#include "archive/prefetching_pull_reader.h"
#include "archive/tar_reader.h"
#include "archive/zstd_pull_reader.h"
#include "common/out_of_memory.h"
#include "update/download/update_download.h"
#include "update/download/update_url.h"
#include "update/prepare/owned_stage.h"
#include "update/prepare/prepared_app_check.h"

namespace tl {

namespace {

// Passes the decoded stream on and fails at the first byte beyond the cap,
// keeping that failure for the consumer to report.
class DecodedSizeCap final : public PullReader {
 public:
  DecodedSizeCap(PullReader& inner, DecodedCap cap) : inner_(inner), cap_(cap.size), beyond_(cap.beyond) {}

  Result<std::size_t> read(void* buf, std::size_t n) override {
    if (failure_) return *failure_;
    // One byte more than the cap allows is asked for, so that a stream of
    // exactly the cap's length passes and a longer one is caught at once.
    const std::uint64_t room = cap_ - passed_ + 1;
    const std::size_t ask = n < room ? n : static_cast<std::size_t>(room);
    const std::size_t got = TRY(inner_.read(buf, ask));
    passed_ += got;
    if (passed_ > cap_) {
      failure_ = beyond_;
      return *failure_;
    }
    return got;
  }
  std::optional<Error> failure() const { return failure_; }

 private:
  PullReader& inner_;
  std::uint64_t cap_;
  Error beyond_;
  std::uint64_t passed_ = 0;
  std::optional<Error> failure_;
};

}  // namespace

Result<UpdateRecipe> extractTarZstStream(const fs::Dir& stage, PullReader& body, DecodedCap cap) {
  ZstdPullReader decoded(body);
  TRY(decoded.init());
  DecodedSizeCap capped(decoded, cap);
  ArchiveDestination destination(stage);
  // The body is received and decoded ahead on a thread of its own while the
  // tar reader hashes, writes and syncs each file.
  PrefetchingPullReader ahead(capped);
  Result<ExtractedArchive> extracted = extractTarArchive(ahead, std::nullopt, &destination);
  // Nothing more of the body is of use once the unpacking failed, and the
  // read-ahead may be waiting in the network for bytes a stalled server never
  // sends: the download is canceled rather than waited for.
  if (!extracted.ok()) abandonDownload();
  ahead.stop();  // the readers below may be asked only once they rest
  if (!extracted.ok()) {
    // A read that the abandoning canceled is not the cause.
    if (decoded.failure() && *decoded.failure() != Error::Canceled) return *decoded.failure();
    if (capped.failure()) return *capped.failure();
    return extracted.error();
  }
  return std::move(extracted->recipe);
}

Result<StagedUpdate> prepareFullArchive(PreparationState& st) {
  const PrepareUpdateRequest& r = st.request.request;
  TRY(requireOwnedStageDeleted(st));
  TRY(fs::makeDirAt(st.bundleParent, st.stageName));
  st.stageOwned = true;
  std::optional<UpdateRecipe> recipe;
  {
    const fs::Dir stage = TRY(fs::openDirAt(st.bundleParent, st.stageName));
    const std::string url = TRY(buildUpdateUrl(r.base_url, r.artifact_file, r.transaction_id));
    // The archive may be no longer than the request says: a small download
    // that unpacks far beyond it stops at its first byte too many.
    const DecodedCap cap = r.tar_size ? DecodedCap{*r.tar_size, Error::ArchiveSizeMismatch} : DecodedCap{};
    TRY(downloadUpdateFile(url, [&stage, &recipe, cap](PullReader& body) -> Status {
      // Handed back as a value, the failure meets the download's own account
      // of what went wrong.
      recipe = TRY(catchingOutOfMemory([&] { return extractTarZstStream(stage, body, cap); }));
      return success();
    }));
  }
  StagedUpdate staged;
  staged.version = TRY(verifyPreparedApp(r, *recipe, st.bundleParent, st.stageName, /*verifyTree=*/false));
  TRY(checkStagedIdentity(r, staged.version, *recipe));
  staged.recipe = std::move(*recipe);
  return staged;
}

}  // namespace tl
