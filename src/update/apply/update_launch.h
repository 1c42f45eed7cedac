#pragma once
// Starting an application after an update, or the previous version after a
// failed one: without a window of its own, from its bin folder, not waited
// for. (The installer's first start differs: it shows a window and only
// warns on failure.)
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

// <appFolder>\bin\launcher.exe
std::string launcherPath(std::string_view appFolder);

// Starts launcherPath(appFolder) with the program path as its only argument,
// its folder as the working directory (InvalidUpdatePath when it has none),
// null streams and no console window, and does not wait. The start's error
// passes unchanged.
[[nodiscard]] Status launchAppWithoutWindow(std::string_view appFolder);

}  // namespace tl
