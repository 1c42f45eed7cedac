#pragma once
// The choice before an interactive uninstall: remove the application only,
// remove it with its data, or cancel. A modal task dialog on the calling
// thread.
#include <string_view>

namespace tl {

enum class UninstallChoice : int {
  Cancel = 0,      // Cancel, Escape, the close box, or any failure
  AppOnly = 1,     // "App"
  AppAndData = 2,  // "App and Data"
};

// name and content are UTF-8 (WTF-8).
UninstallChoice showUninstallChoice(std::string_view name, std::string_view content);
UninstallChoice confirmUninstall(std::string_view name);
UninstallChoice previewUninstallChoice(std::string_view name);

}  // namespace tl
