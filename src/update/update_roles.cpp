#include "update/update_roles.h"

namespace tl {

// Updates are not part of this program yet; the roles say so by name rather
// than pretend to succeed.
Status runPrepareUpdate(std::string_view) { return Error::RoleNotAvailable; }
Status runApplyUpdate(std::string_view) { return Error::RoleNotAvailable; }

}  // namespace tl
