#pragma once
// The lines --prepare-update writes to standard error when something fails
// that does not fail the run.
#include "common/error.h"

namespace tl {

// Cached archives of older versions were left behind; the prepared update
// stands.
void warnObsoleteArchivesNotRemoved(Error e);

// The delta road failed and the full archive is downloaded instead.
void reportDeltaUnavailable(Error e);

}  // namespace tl
