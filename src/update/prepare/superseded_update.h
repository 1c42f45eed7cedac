#pragma once
// A version prepared earlier that is given up: one that a request for
// another version supersedes, or the requested one when its prepared folder
// no longer passes its check. Its prepared folder, recipe and record go
// whatever state they are in, in an order that a kill at any moment leaves
// for the next run to finish, so that no failed update blocks the next.
#include <string_view>

#include "common/result.h"
#include "update/prepare/preparation_state.h"

namespace tl {

// Removes the prepared version `hash` of this installation (its folder,
// recipe and record; missing parts count as removed) under the installation
// mutex, waited for so that no application of that version renames the
// folder meanwhile. Anything but a folder under the prepared name is
// InvalidOrphanedUpdateStage. Needs the stage named and not owned.
[[nodiscard]] Status removePreparedVersion(PreparationState& state, std::string_view hash);

// Reads self-extraction\.tamberlock-prepared-update.json. A missing record,
// one that does not parse strictly, has a schema other than 2 or a
// malformed hash, or one for the installed or the requested version, is
// left alone. A record of a third version must carry the request's
// identity and the paths the preparation would have written, else
// InvalidPreparedUpdate and everything is left in place. Such a record is
// this installation's own: its version is removed (removePreparedVersion)
// whether its folder is whole, partial or missing.
[[nodiscard]] Status removeSupersededUpdate(PreparationState& state);

}  // namespace tl
