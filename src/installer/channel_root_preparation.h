#pragma once
// The channel root an installer writes into, derived from the local
// application-data folder, and made only where it is safe to write.
#include <string>
#include <string_view>

#include "common/install_layout.h"
#include "common/result.h"

namespace tl {

// <LocalAppData>\<identifier>\<channel> from the normalised local
// application-data folder. That folder must be absolute and a real folder
// (not a link), else InvalidUninstallLocation: an empty or relative value
// would otherwise put the installation below the working folder.
[[nodiscard]] Result<std::string> installerChannelRoot(std::string_view identifier, std::string_view channel);

// Creates the identifier folder and the channel root where missing, one level
// at a time, each checked to be a real folder in its expected place before
// anything is made below it, and returns the checked layout.
[[nodiscard]] Result<InstallLayout> prepareChannelRoot(std::string_view channelRoot, std::string_view identifier,
                                                       std::string_view channel);

}  // namespace tl
