#pragma once
// Where an installation's manager runs from: <root>\uninstall.exe, or (where
// allowed) the copy inside the application, <root>\app\Resources\uninstall.
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

struct ManagerInstallRoot {
  std::string root;
  bool inAppBundle = false;
};

[[nodiscard]] Result<ManagerInstallRoot> installRootFromManagerPath(std::string_view path, bool allowAppBundle);

}  // namespace tl
