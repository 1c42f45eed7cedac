#pragma once
#include "common/result.h"

namespace tl {

struct UninstallOptions {
  bool quiet = false;
  bool delete_data = false;
};

// Removes the installation this program manages as <root>\uninstall.exe.
[[nodiscard]] Status runUninstall(const UninstallOptions& options);

}  // namespace tl
