#include "uninstall/uninstall_flow.h"

namespace tl {

Status runUninstall(const UninstallOptions&) { return Error::RoleNotAvailable; }

}  // namespace tl
