#pragma once
// The two update roles of the command line: preparing an update and applying one.
#include <string_view>

#include "common/result.h"

namespace tl {

[[nodiscard]] Status runPrepareUpdate(std::string_view requestPath);
[[nodiscard]] Status runApplyUpdate(std::string_view planPath);

}  // namespace tl
