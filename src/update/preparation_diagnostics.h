#pragma once
// The lines --prepare-update writes to standard error when something fails
// that does not fail the run.
#include "common/error.h"

namespace tl {

// "Could not remove obsolete update archives: <Name>": cached archives of
// older versions were left behind; the prepared update stands.
void warnObsoleteArchivesNotRemoved(Error e);

}  // namespace tl
