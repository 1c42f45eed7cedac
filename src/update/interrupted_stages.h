#pragma once
// Stage folders that killed runs leave beside the installed application:
// <bundle>.prepare-<id> of a preparation, <bundle>.update-<id> of an update
// application, the id 32 lowercase hexadecimal digits. Each road clears its
// own kind under its own lock.
#include <string_view>

#include "common/install_layout.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Whether `name` is exactly bundle + infix + 32 of 0-9, a-f.
bool isStageName(std::string_view name, std::string_view bundle, std::string_view infix);

// Deletes every stage folder of the infix's kind in the bundle's parent,
// the running transaction's own included. Anything else under such a name
// is InvalidInterruptedUpdateStage, found before anything is deleted;
// lookup and deletion errors come back as they are.
[[nodiscard]] Status removeInterruptedStages(const fs::Dir& bundleParent, std::string_view bundle,
                                             std::string_view infix);

}  // namespace tl
