#pragma once
// The names an installed application gives itself in its
// Resources\version.json, read for the update checks: only identifier,
// channel, name, version and displayName are looked at.
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

struct InstalledAppNames {
  std::string name;
  std::optional<std::string> displayName;
};

// Reads appFolder\Resources\version.json (no link below the folder, at most
// 1 MiB) leniently: identifier, channel, name and version required
// (MissingField), each at most once (DuplicateField), other keys skipped.
// identifier and channel must equal the given ones exactly, version must not
// be empty, name and a displayName 1 to 240 bytes without control bytes:
// else InvalidUpdateIdentity. Open, read and parse errors pass unchanged.
[[nodiscard]] Result<InstalledAppNames> readInstalledAppNames(std::string_view appFolder,
                                                              std::string_view identifier,
                                                              std::string_view channel);
// displayName when the file has one, else name.
[[nodiscard]] Result<std::string> appDisplayName(std::string_view appFolder, std::string_view identifier,
                                                 std::string_view channel);

}  // namespace tl
