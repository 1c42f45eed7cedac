#pragma once
// The process environment as a Windows program sees it: names compared
// ignoring ASCII case, and the folder variables given as POSIX absolute paths
// rewritten to their "Z:" form, as the system's own layer does.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

std::optional<std::string> envGet(std::string_view name);
// Every variable, in the order of the process environment.
const std::vector<std::pair<std::string, std::string>>& envAll();

// [Environment]::ExpandEnvironmentVariables: %NAME% of a defined variable is
// replaced; an undefined one stays, and its closing '%' may open the next.
std::string expandEnvironmentVariables(std::string_view text);

}  // namespace standin
