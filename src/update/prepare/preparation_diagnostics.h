#pragma once
// The lines --prepare-update writes to standard error when something fails
// that does not fail the run.
#include "common/error.h"

namespace tl {

// "Could not remove obsolete update archives: <Name>": cached archives of
// older versions were left behind; the prepared update stands.
void warnObsoleteArchivesNotRemoved(Error e);

// "Delta preparation unavailable (<Name>); streaming the full update.": the
// delta road failed and the full archive is downloaded instead.
void reportDeltaUnavailable(Error e);

}  // namespace tl
