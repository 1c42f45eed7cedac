#pragma once
// GetEnvironmentVariableW: the live process environment, read at the moment
// of the call (not the map that main builds at start-up).
#include <optional>
#include <string>
#include <string_view>

namespace tl::platform {

// The value of the variable, names compared ignoring ASCII case; none when
// the variable is not set. An empty value is a value.
std::optional<std::string> getProcessEnvironmentVariable(std::string_view name);

}  // namespace tl::platform
