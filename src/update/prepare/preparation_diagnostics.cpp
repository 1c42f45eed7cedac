#include "update/prepare/preparation_diagnostics.h"

#include "common/diagnostics.h"

namespace tl {

void warnObsoleteArchivesNotRemoved(Error e) {
  diagLine({"Could not remove obsolete update archives: ", errorName(e)});
}

void reportDeltaUnavailable(Error e) {
  diagLine({"Delta preparation unavailable (", errorName(e), "); streaming the full update."});
}

}  // namespace tl
