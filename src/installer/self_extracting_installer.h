#pragma once
// The installer road: the executable's own payload installed and launched.
#include <string_view>

#include "common/result.h"

namespace tl {

enum class InstallerOutcome { Installed, NoPayloadFound };

// The installer road: finds the payload next to or inside the executable at
// exePath and installs it.
[[nodiscard]] Result<InstallerOutcome> runSelfExtractingInstaller(std::string_view exePath);

}  // namespace tl
