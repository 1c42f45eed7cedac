#pragma once
// Where an installation lives: <LocalAppData>\<identifier>\<channel>, and the
// fixed set of paths derived from its channel root.
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

struct InstallLayout {
  std::string localAppData;
  std::string identifierDir;
  std::string channelRoot;
  std::string appDir;
  std::string selfExtractionDir;
  std::string updateScript;
  std::string uninstallManager;
  std::string manifestPath;
  std::string managerSource;
};

[[nodiscard]] Result<std::string> getEnvVarOwned(std::string_view name);
[[nodiscard]] Result<std::string> localAppDataRoot();
[[nodiscard]] Result<std::string> tempDir();
// The real path of a directory (no link at the path itself); with expected
// set, it must equal it ignoring case.
[[nodiscard]] Result<std::string> checkResolvedDirectory(std::string_view path,
                                                         std::optional<std::string_view> expected);
[[nodiscard]] Status requireInTempDir(std::string_view path);
[[nodiscard]] Result<InstallLayout> resolveInstallLayout(std::string_view channelRoot,
                                                         std::string_view identifier,
                                                         std::string_view channel);

}  // namespace tl
