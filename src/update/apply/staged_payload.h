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

// Makes the stage hold exactly one folder, the staged root, and returns its
// path. Schema 1 unpacks the retained tar into a fresh stage (a folder left
// there is replaced; anything else is InvalidUpdatePath). Schema 2 requires
// the recipe (InvalidUpdatePlan when the plan lacks it; InvalidUpdatePath
// for no regular file; UpdateRecipeHashMismatch) to name the staged root
// (InvalidUpdateIdentity) and describe its tree exactly (verifyStagedTree's
// error). More or other than one folder in the stage is InvalidUpdateArchive.
[[nodiscard]] Result<std::string> stagePayload(const UpdatePlan& plan, std::string_view stage);

// The staged root is a real folder in the stage holding
// Resources\version.json, bin\launcher.exe and Resources\uninstall, none
// through a link (InvalidUpdatePath); its version.json names the plan's
// build and a valid display name (InvalidUpdateIdentity; the JSON reader's
// MissingField, DuplicateField, UnexpectedToken). Returns the display name.
[[nodiscard]] Result<std::string> validateStagedPayload(const UpdatePlan& plan, std::string_view stage,
                                                        std::string_view stagedRoot);

// Whether appFolder (app) already holds the plan's version, checked as its
// staged root was before the swap: validateStagedPayload's rules within its
// parent and, for a prepared payload, the plan's recipe (by its digest)
// describing the tree exactly; only the root's name may differ, since the
// swap gave it app's. Returns the display name; a failed check its error.
[[nodiscard]] Result<std::string> validateAppliedPayload(const UpdatePlan& plan, std::string_view appFolder);

// Whether appFolder's version.json names the plan's build (identifier,
// channel, version, hash); false when it cannot be read.
bool holdsPlanBuild(const UpdatePlan& plan, std::string_view appFolder);

}  // namespace tl
