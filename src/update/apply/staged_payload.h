#pragma once
// The new version of an update, made ready beside the installation before
// anything installed is touched: unpacked from the retained tar (schema 1)
// or taken from the prepared folder (schema 2), then checked against the
// plan. The stage holds exactly one folder, the staged root, which the swap
// renames into place.
#include <string>
#include <string_view>

#include "common/result.h"
#include "update/apply/update_plan.h"

namespace tl {

// Schema 1: a folder left at stage is deleted (anything else there is
// InvalidUpdatePath), the stage made and the retained tar unpacked into it.
// Both schemas: the stage must hold exactly one entry, a folder
// (InvalidUpdateArchive). Schema 2: the recipe file, a regular file
// (InvalidUpdatePath) of at most 128 MiB, must have recipe_sha256 as its
// digest (UpdateRecipeHashMismatch), parse, name the staged root as its root
// (InvalidUpdateIdentity) and describe the staged tree exactly
// (verifyStagedTree's error). A missing recipe_path or recipe_sha256 is
// InvalidUpdatePlan. Returns the staged root's path.
[[nodiscard]] Result<std::string> stagePayload(const UpdatePlan& plan, std::string_view stage);

// The staged root is a real folder directly in the stage, with
// Resources\version.json, bin\launcher.exe and Resources\uninstall each of
// its kind directly in its folder (InvalidUpdatePath). version.json (at most
// 1 MiB) must give hash, identifier, version, displayName and channel as
// strings (MissingField, DuplicateField, UnexpectedToken; other keys
// skipped), the first four and channel equal to the plan's and a display
// name of 1 to 240 bytes without control bytes (InvalidUpdateIdentity).
// Returns the display name.
[[nodiscard]] Result<std::string> validateStagedPayload(const UpdatePlan& plan, std::string_view stage,
                                                        std::string_view stagedRoot);

}  // namespace tl
