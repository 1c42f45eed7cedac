#pragma once
// --prepare-update <request> --quiet from start to end: the requested
// version prepared beside the installed one and published, or reused when it
// was prepared before; what interrupted and superseded preparations left is
// cleared, and no prepared folder but the requested version's stays. The
// request is checked before anything is touched; one preparation runs per
// channel root (UpdatePreparationBusy). After the lock, a failure deletes
// the stage this run made and nothing else; the lock file stays.
#include <string_view>

#include "common/result.h"

namespace tl {

// Once per process, before any other thread starts: the HTTP client's
// global set-up, which the preparation's downloads need.
void initPrepareUpdate();

// The whole --prepare-update road for the request file at requestPath.
[[nodiscard]] Status runPrepareUpdate(std::string_view requestPath);

}  // namespace tl
