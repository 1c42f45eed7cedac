#pragma once
// --prepare-update <request> --quiet from start to end: the request checked
// before anything is touched, one preparation per channel root, what
// interrupted (stages, patch files, temporary files of writes) and
// superseded preparations left cleared, a version prepared before reused
// (or, failing its check, removed), else the delta road with the full
// download behind it, and the staged version published. After the
// lock, a failure deletes the stage this run made and nothing else; the lock
// file stays.
#include <string_view>

#include "common/result.h"

namespace tl {

// Once per process, before any other thread starts: the HTTP client's
// global set-up, which the preparation's downloads need.
void initPrepareUpdate();

// The whole --prepare-update road for the request file at requestPath.
[[nodiscard]] Status runPrepareUpdate(std::string_view requestPath);

}  // namespace tl
