#pragma once
// The identity record that travels with the installer, in its two forms: the
// side file (lenient) and the block appended to the executable (strict).
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "windows_integration/uninstall_manifest.h"  // isKnownChannel

namespace tl {

struct InstallerMetadata {
  std::string identifier;
  std::string name;
  std::string channel;
  std::optional<std::string> hash;
  std::optional<std::string> install_root_name;  // side file only
};

constexpr std::size_t kInstallerMetadataCap = 4096;

// Side file "<stem>.metadata.json": unknown keys skipped, "hash" and
// "install_root_name" optional strings.
[[nodiscard]] Result<InstallerMetadata> parseSideInstallerMetadata(std::string_view json);
// Appended block: strict, "hash" may be null.
[[nodiscard]] Result<InstallerMetadata> parseInstallerMetadata(std::string_view json);
// The identifier is a valid file name and the channel one of the three.
bool passesIdentityRule(const InstallerMetadata& m);

}  // namespace tl
