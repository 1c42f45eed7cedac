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
// stage name. The base is self-extraction\<base_hash>.recipe.json, or the
// recipe of a cached <base_hash>.tar there; once rebuilt, the base recipe is
// (re)written and the cached tar removed. Downloaded patches
// (.patch-<transaction id>-<index>.partial) never outlive their step.
//
// On success the stage (owned: state.stageOwned) holds the requested
// version, and its hash, version, tar_size and tar_sha256 agree with the
// request. Errors:
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
