#include "installer/self_extracting_installer.h"

namespace tl {

Result<InstallerOutcome> runSelfExtractingInstaller(std::string_view) { return Error::RoleNotAvailable; }

}  // namespace tl
