#include "update/update_roles.h"

namespace tl {

// Applying updates is not part of this program yet; the role says so by name
// rather than pretend to succeed. (--prepare-update: prepare_update_driver.cpp.)
Status runApplyUpdate(std::string_view) { return Error::RoleNotAvailable; }

}  // namespace tl
