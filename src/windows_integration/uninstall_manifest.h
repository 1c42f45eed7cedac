#pragma once
// The uninstall manifest ".tamberlock-uninstall.json" in the channel root: who
// the installation is, its install nonce, and its two shortcut files.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace tl {

struct UninstallManifest {
  std::uint32_t schema_version = 1;
  std::string install_nonce;
  std::string identifier;
  std::string name;
  std::string channel;
  std::string desktop_shortcut;
  std::string start_menu_shortcut;
  std::optional<std::string> install_root_name;
  std::optional<std::vector<std::uint32_t>> data_path_versions;
};

constexpr std::size_t kMaxManifestBytes = 65536;

// The file's exact bytes: two-space indentation, one member per line, no line
// end after the closing brace.
std::string serializeUninstallManifest(const UninstallManifest& manifest);
// Replaces the manifest atomically; an existing one stays when this fails.
[[nodiscard]] Status writeUninstallManifest(std::string_view manifestPath,
                                            const UninstallManifest& manifest);

// Parses the JSON text leniently (unknown keys skipped) into a record; no
// field checks.
[[nodiscard]] Result<UninstallManifest> parseUninstallManifestJson(std::string_view bytes);
// The field checks of a parsed manifest against the channel root the caller
// derived itself, in order; InvalidUninstallManifest on the first that fails.
[[nodiscard]] Status checkUninstallManifestFields(const UninstallManifest& manifest,
                                                  std::string_view channelRoot);
// Reads, parses and checks the manifest, including that the recorded shortcut
// paths are the ones the shell folders give now.
[[nodiscard]] Result<UninstallManifest> readUninstallManifest(std::string_view manifestPath,
                                                              std::string_view channelRoot);

// 32 lowercase hexadecimal digits of 16 random bytes.
std::string newRandomHexId();
// Name rule for an installation's display name: 1 to 240 bytes, no control
// byte and no DEL.
bool isValidAppName(std::string_view name);
bool isKnownChannel(std::string_view channel);
// Whether the channel root's folder name fits the channel, or else the
// install root name (or, without it, the name).
bool matchesInstallRootName(std::string_view root, std::string_view channel, std::string_view name,
                            std::optional<std::string_view> installRootName);

}  // namespace tl
