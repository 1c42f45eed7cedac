#pragma once
// A version prepared earlier that a request for another version supersedes:
// its prepared folder, recipe and record are removed before the new version
// is prepared, but only once they have been checked to be exactly what the
// record says.
#include "common/result.h"
#include "update/preparation_state.h"

namespace tl {

// Reads self-extraction\.tamberlock-prepared-update.json. A missing record,
// one that does not parse strictly, has a schema other than 2 or a
// malformed hash, or one for the installed or the requested version, is
// left alone. A record of a third version must carry the request's
// identity and the paths the preparation would have written
// (InvalidPreparedUpdate), its recipe's digest (InvalidPreparedUpdate when
// malformed, PreparedRecipeHashMismatch when different), and its prepared
// folder must pass the whole-tree check with the record's hash and version
// (InvalidPreparedUpdate). Then, holding the installation mutex (waiting,
// as an update application does, so that no application of that very
// version is renaming the folder meanwhile), the folder, the recipe and the
// record are deleted in that order. Read, parse and delete errors end the
// run with everything past them left in place.
[[nodiscard]] Status removeSupersededUpdate(const PreparationState& state);

}  // namespace tl
