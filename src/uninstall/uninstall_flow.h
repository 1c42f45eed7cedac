#pragma once
// The uninstall road of the installation's manager (uninstall.exe).
#include "common/result.h"

namespace tl {

struct UninstallOptions {
  bool quiet = false;
  bool delete_data = false;
};

// Removes the installation this program manages as <root>\uninstall.exe.
[[nodiscard]] Status runUninstall(const UninstallOptions& options);

}  // namespace tl
