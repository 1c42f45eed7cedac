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

// Removes the prepared version `hash` of this installation under the
// installation mutex (waiting, as an update application does, so that no
// application of that very version is renaming the folder meanwhile). The
// prepared folder is first renamed to this run's stage name, so that from
// then on it is a stage that the sweep of interrupted stages removes should
// the run be killed; then the recipe and the record are deleted (missing
// ones count as deleted), then the stage. A missing prepared folder is
// nothing to move; anything but a folder under its name is
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
