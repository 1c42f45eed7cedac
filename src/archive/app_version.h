#pragma once
// The identity and version an application bundle declares in its
// Resources/version.json.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/fs.h"

namespace tl {

struct AppVersionInfo {
  std::string identifier;
  std::optional<std::string> name;  // absent or null
  std::optional<std::string> displayName;
  std::string channel;
  std::string version;
  std::string hash;
  std::optional<std::string> baseUrl;
};

// The most of a version.json any reader takes.
inline constexpr std::size_t kMaxVersionFileBytes = 1048576;

// Reads the bundle's Resources/version.json without following links, at
// most kMaxVersionFileBytes. Checks no values: callers compare what they expect.
[[nodiscard]] Result<AppVersionInfo> readAppVersion(const fs::Dir& bundleDir);

// Parses the text of a version.json; keys it does not define are skipped.
[[nodiscard]] Result<AppVersionInfo> parseAppVersion(std::string_view text);

}  // namespace tl
