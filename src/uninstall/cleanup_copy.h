#pragma once
// The second half of an uninstall, run from a temporary copy of the manager.
#include <string_view>

#include "common/result.h"

namespace tl {

// The second half of an uninstall, run from the temporary copy.
[[nodiscard]] Status cleanupUninstaller(std::string_view managerPath, std::string_view manifestPath,
                                        std::string_view nonce, bool deleteData);

}  // namespace tl
