#include "windows_integration/registration_refresh.h"

namespace tl {

Status refreshRegistration() { return Error::RoleNotAvailable; }
Status refreshRegistrationFromUpdate(std::string_view) { return Error::RoleNotAvailable; }

}  // namespace tl
