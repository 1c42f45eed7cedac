#pragma once
#include <string_view>

#include "common/result.h"

namespace tl {

[[nodiscard]] Status refreshRegistration();
[[nodiscard]] Status refreshRegistrationFromUpdate(std::string_view root);

}  // namespace tl
