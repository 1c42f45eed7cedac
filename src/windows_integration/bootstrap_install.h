#pragma once
// Integrating an application that other tooling already unpacked.
#include <string_view>

#include "common/result.h"

namespace tl {

// Integrates an application that other tooling already unpacked.
[[nodiscard]] Status bootstrapInstall(std::string_view requestedRoot);

}  // namespace tl
