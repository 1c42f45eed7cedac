#pragma once
// The delta road of --prepare-update: the installed archive rebuilt byte for
// byte in memory from the installed files and their recipe, the patch that
// starts from its build downloaded and streamed over it straight into the
// stage, and so on from each staged version until the requested one is
// reached.
#include "common/result.h"
#include "update/prepare/preparation_state.h"

namespace tl {

// The most patches one preparation applies.
inline constexpr unsigned kMaxPatchChain = 64;

// Needs the state's request, self-extraction and bundle-parent handles and
// stage name. The base recipe is self-extraction\<base_hash>.recipe.json,
// or, when that file is missing, the recipe of a cached <base_hash>.tar
// there (read, not unpacked); after the first rebuild the base recipe is
// (re)written and the cached tar removed. Each step downloads
// <channel>-<platform>-<arch>-<from hash>.patch into
// self-extraction\.patch-<transaction id>-<index>.partial (deleted after the
// step either way), replaces a stage this run made, and unpacks the patched
// archive into a new stage (setting state.stageOwned).
//
// On success the stage holds the requested version, checked without a tree
// walk (its recipe was built from the very bytes unpacked), and its hash,
// version, tar_size and tar_sha256 agree with the request. Errors:
// FileNotFound (no base recipe nor cached tar), UpdatePatchCycle,
// UpdatePatchChainTooLong, UpdateArchiveTooLarge, OutOfMemory (the base
// archive cannot be held: the caller's full download needs no such
// buffer), ArchiveSizeMismatch, ArchiveHashMismatch, InvalidUpdatePath,
// InvalidUpdateStage, IncompleteUpdatePatch, InvalidUpdateIdentity,
// Canceled, and those of the recipe, rebuild, download, patch and tar reader
// as they are. On failure the installed application is untouched and a
// stage this run made is left for the caller to remove (stageOwned).
[[nodiscard]] Result<StagedUpdate> buildUpdatedArchive(PreparationState& state);

}  // namespace tl
