#pragma once
// Stage folders that killed or cut-off preparations left beside the
// installed application: <bundle>.prepare-<32 lowercase hexadecimal digits>.
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Whether `name` is exactly bundle + ".prepare-" + 32 of 0-9, a-f.
bool isStageName(std::string_view name, std::string_view bundle);

// Deletes every stage folder in the bundle's parent, this run's own
// transaction's included. Anything else under such a name is
// InvalidInterruptedUpdateStage, found before anything is deleted; lookup
// and deletion errors come back as they are.
[[nodiscard]] Status removeInterruptedStages(const fs::Dir& bundleParent, std::string_view bundle);

}  // namespace tl
