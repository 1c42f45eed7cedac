#include "windows_integration/install_root.h"

#include <optional>

#include "common/paths.h"
#include "platform/fs.h"

namespace tl {

Result<ManagerInstallRoot> installRootFromManagerPath(std::string_view path, bool allowAppBundle) {
  Result<fs::FileStat> st = fs::statFollow(path);
  if (!st.ok()) {
    if (st.error() == Error::OutOfMemory) return Error::OutOfMemory;
    return Error::InvalidUninstallLocation;
  }
  if (st->kind != fs::FileKind::File) return Error::InvalidUninstallLocation;

  std::string_view name = lastComponent(path);
  std::optional<std::string> parent = parentPath(path);
  if (asciiEqualIgnoreCase(name, "uninstall.exe")) {
    if (!parent) return Error::InvalidUninstallLocation;
    return ManagerInstallRoot{*parent, false};
  }
  if (!allowAppBundle || !asciiEqualIgnoreCase(name, "uninstall") || !parent) {
    return Error::InvalidUninstallLocation;
  }
  std::optional<std::string> app = parentPath(*parent);
  if (!asciiEqualIgnoreCase(lastComponent(*parent), "Resources") || !app ||
      !asciiEqualIgnoreCase(lastComponent(*app), "app")) {
    return Error::InvalidUninstallLocation;
  }
  std::optional<std::string> root = parentPath(*app);
  if (!root) return Error::InvalidUninstallLocation;
  return ManagerInstallRoot{*root, true};
}

}  // namespace tl
