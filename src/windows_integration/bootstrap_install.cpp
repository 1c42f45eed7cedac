#include "windows_integration/bootstrap_install.h"

namespace tl {

Status bootstrapInstall(std::string_view) { return Error::RoleNotAvailable; }

}  // namespace tl
