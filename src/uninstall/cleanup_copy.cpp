#include "uninstall/cleanup_copy.h"

namespace tl {

Status cleanupUninstaller(std::string_view, std::string_view, std::string_view, bool) {
  return Error::RoleNotAvailable;
}

}  // namespace tl
