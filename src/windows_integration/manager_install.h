#pragma once
// Installing the bundle's uninstall manager as <channel root>\uninstall.exe,
// after making sure the channel root and the bundle are where the layout says.
#include <string_view>

#include "common/install_layout.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// Opens path, then component inside it, following a link at neither last
// name. A link or a file in the way is InvalidUninstallLocation.
[[nodiscard]] Result<fs::Dir> openManagedSubdir(std::string_view path, std::string_view component);
// Opens <localAppData>\<identifier>\<channel folder> the same way.
[[nodiscard]] Result<fs::Dir> openChannelRoot(const InstallLayout& layout, std::string_view identifier);
// The bundle's Resources\uninstall must be a plain file lying, after every
// link is resolved, exactly at <real channel root>\app\Resources\uninstall.
[[nodiscard]] Status attestBundledManager(const InstallLayout& layout);
// The same for any bundle folder: appDir must be a folder lying, links
// resolved, at realParent joined with appDir's last component.
[[nodiscard]] Status attestManagerInBundle(std::string_view appDir, std::string_view realParent);
// Copies source over destination in one replacing move; WindowsManagerCopyFailed
// when that does not happen.
[[nodiscard]] Status copyFileReplacing(std::string_view source, std::string_view destination);

}  // namespace tl
