#pragma once
// Starting the freshly installed application once, after the installer's
// success page. A failed start is only a warning: the installation stands.
#include <string_view>

namespace tl {

// Starts <appDir>\bin\launcher.exe with null streams and does not wait.
void launchInstalledApp(std::string_view appDir);

}  // namespace tl
