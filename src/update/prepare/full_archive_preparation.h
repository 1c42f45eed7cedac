#pragma once
// The full road of --prepare-update, taken when the delta road cannot be:
// the whole compressed archive downloaded and, as it streams in, decoded
// and unpacked into the stage. It never touches the disk as a file.
#include <cstdint>

#include "archive/pull_reader.h"
#include "archive/update_recipe.h"
#include "common/result.h"
#include "platform/fs.h"
#include "update/prepare/preparation_state.h"
#include "update/prepare/prepare_request.h"

namespace tl {

// The largest uncompressed archive an update may have: what a request's
// tar_size may name (16 GiB).
inline constexpr std::uint64_t kMaxFullArchiveSize = kMaxRequestTarSize;

// How long the decoded archive may be, and the error for its first byte
// beyond that.
struct DecodedCap {
  std::uint64_t size = kMaxFullArchiveSize;
  Error beyond = Error::UpdateArchiveTooLarge;
};

// The download's consumer: the body decoded as Zstandard (windows up to
// 8 MiB, frame checksums not verified) and unpacked as a tar archive into
// the open stage folder. The decoded bytes are counted as they flow: the
// first byte beyond the cap ends the unpacking with the cap's error, so a
// small download cannot fill the disk. A decoder failure (corrupt frame,
// ZstdWindowTooLarge, a failed body read) comes back before the unpacker's
// own error. When the unpacking fails, the download it runs in is abandoned
// (abandonDownload) before the read-ahead is waited for. Returns the recipe
// built from the decoded bytes, with their size and SHA-256.
[[nodiscard]] Result<UpdateRecipe> extractTarZstStream(const fs::Dir& stage, PullReader& body, DecodedCap cap = {});

// Replaces a stage the delta road left (it must be a folder:
// InvalidUpdateStage), creates the stage afresh (setting state.stageOwned),
// downloads <base_url>/<artifact_file>?cache=<transaction id> into it
// through extractTarZstStream (capped at the request's tar_size when it has
// one: ArchiveSizeMismatch at the first byte beyond), and checks what it
// staged without a tree walk: one root folder, the identity and launcher
// (verifyPreparedApp), and the requested hash, version, tar_size and
// tar_sha256. Every error ends the road, with the stage left for the caller
// to remove.
[[nodiscard]] Result<StagedUpdate> prepareFullArchive(PreparationState& state);

}  // namespace tl
