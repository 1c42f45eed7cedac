#include "app/entry.h"

#include "common/diagnostics.h"
#include "platform/console.h"

namespace tl {

int processEntry(int, char**) {
  console::setupStandardStreams();
  logMainError(Error::InvalidArguments);
  return 1;
}

}  // namespace tl
