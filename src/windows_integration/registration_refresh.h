#pragma once
// Registering an installation again (manifest, registry entry, manager copy),
// from its manager or from an update's helper copy.
#include <string_view>

#include "common/result.h"

namespace tl {

[[nodiscard]] Status refreshRegistration();
[[nodiscard]] Status refreshRegistrationFromUpdate(std::string_view root);

}  // namespace tl
