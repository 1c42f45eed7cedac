#pragma once
// The temporary copy of the manager that finishes an uninstall:
// "%TEMP%\tamberlock-uninstall-<1 to 16 hex>.exe".
#include <cstdint>
#include <string>
#include <string_view>

namespace tl {

std::string uninstallerCopyName(std::uint64_t n);
// The copy's own name rule: "tamberlock-uninstall-" + 1 to 16 of 0-9a-f + ".exe".
bool isUninstallerCopyName(std::string_view name);

}  // namespace tl
