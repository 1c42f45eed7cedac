#pragma once
// A version prepared earlier that is given up: one that a request for
// another version supersedes, the requested one when its prepared folder
// no longer passes its check, or one whose run was killed before it wrote
// its record. Its prepared folder, recipe and record go whatever state they
// are in, in an order that a kill at any moment leaves for the next run to
// finish, so that no failed update blocks the next.
#include <string_view>

#include "common/result.h"
#include "update/prepare/preparation_state.h"

namespace tl {

// Whether the record goes with a removed version whatever it names, or only
// when it names that version.
enum class RecordRemoval { Always, WhenItNamesTheVersion };

// Removes the prepared version `hash` of this installation (its folder,
// recipe and record; missing parts count as removed) under the installation
// mutex, waited for so that no application of that version renames the
// folder meanwhile. The folder is first renamed to this run's stage, so that
// a kill leaves a stage for the next run's sweep; the stage is deleted last.
// The installed version's recipe (base_hash) stays: the delta road rebuilds
// its base from it. Anything but a folder under the prepared name is
// InvalidOrphanedUpdateStage. Needs the stage named and not owned.
[[nodiscard]] Status removePreparedVersion(PreparationState& state, std::string_view hash,
                                           RecordRemoval record = RecordRemoval::Always);

// Reads self-extraction\.tamberlock-prepared-update.json. A missing record,
// one that does not parse strictly, has a schema other than 2 or a
// malformed hash, or one for the installed or the requested version, is
// left alone. A record of a third version must carry the request's
// identity and the paths the preparation would have written, else
// InvalidPreparedUpdate and everything is left in place. Such a record is
// this installation's own: its version is removed (removePreparedVersion)
// whether its folder is whole, partial or missing.
[[nodiscard]] Status removeSupersededUpdate(PreparationState& state);

// Removes every folder beside the bundle named bundle + ".prepared-" + a
// valid build hash but the requested version's, one at a time
// (removePreparedVersion; the record only when it names that version). A
// preparation killed between naming its folder and writing its record leaves
// one, and so does an application killed after its swap (the installed
// version's). Other kinds under such a name are not ours and stay. A folder
// that cannot be removed stays for a later run; the run fails only when its
// own stage name cannot be freed again, or for want of memory.
[[nodiscard]] Status removeOtherPreparedVersions(PreparationState& state);

}  // namespace tl
