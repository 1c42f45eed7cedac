#include "update/preparation_diagnostics.h"

#include "common/diagnostics.h"

namespace tl {

void warnObsoleteArchivesNotRemoved(Error e) {
  diagLine({"Could not remove obsolete update archives: ", errorName(e)});
}

}  // namespace tl
