#pragma once
// The check of a staged (or prepared) application before anything relies on
// it: one root folder named as its recipe says, the identity the request
// expects in Resources/version.json, and a launcher to start it with.
#include <string_view>

#include "archive/app_version.h"
#include "archive/update_recipe.h"
#include "common/result.h"
#include "platform/fs.h"
#include "update/prepare/prepare_request.h"

namespace tl {

// Checks the folder `stageName` in `parent` (no link followed anywhere):
// exactly one entry, a folder named as the recipe's root (else
// InvalidUpdateStage); with verifyTree, that folder compared with the whole
// recipe (the staged-tree errors); its version.json (the reader's errors)
// with the request's identifier and channel, a build hash and a valid
// version text (else InvalidUpdateIdentity); bin/launcher.exe a regular file
// (the no-follow access errors). Returns the staged version record.
// verifyTree may be off only where the recipe was built from the very bytes
// that were unpacked.
[[nodiscard]] Result<AppVersionInfo> verifyPreparedApp(const PrepareUpdateRequest& request, const UpdateRecipe& recipe,
                                                       const fs::Dir& parent, std::string_view stageName,
                                                       bool verifyTree);

// The staged version is the one the request asks for: its hash and version
// (InvalidUpdateIdentity), and the archive's size and SHA-256 where the
// request names them (ArchiveSizeMismatch, ArchiveHashMismatch).
[[nodiscard]] Status checkStagedIdentity(const PrepareUpdateRequest& request, const AppVersionInfo& staged,
                                         const UpdateRecipe& recipe);

}  // namespace tl
