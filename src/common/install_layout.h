#pragma once
// Where an installation lives: <LocalAppData>\<identifier>\<channel>, and the
// fixed set of paths derived from its channel root.
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace tl {

// The application folder's name in the channel root.
inline constexpr std::string_view kAppDirName = "app";

// Names the update road gives its entries in the channel root. They are
// defined here, below both update roles and the uninstall, because the
// uninstall must know them to remove them with the application.
inline constexpr std::string_view kPreparedDirInfix = ".prepared-";   // app.prepared-<hash>
inline constexpr std::string_view kPrepareStageInfix = ".prepare-";   // app.prepare-<transaction id>
inline constexpr std::string_view kUpdateStageInfix = ".update-";     // app.update-<transaction id>
inline constexpr std::string_view kPreviousAppSuffix = ".previous";   // app.previous, set aside by a swap
inline constexpr std::string_view kPrepareRequestPrefix = ".tamberlock-prepare-";  // + id + ".json"
inline constexpr std::string_view kUpdateFilePrefix = ".tamberlock-update-";  // + id + ".json" / ".result.json"
inline constexpr std::string_view kUpdateFileSuffix = ".json";
inline constexpr std::string_view kPrepareLockFileName = ".tamberlock-prepare.lock";
inline constexpr std::string_view kApplyLockFileName = ".tamberlock-apply.lock";

// The installation's own files in the channel root.
inline constexpr std::string_view kUninstallManagerFileName = "uninstall.exe";
inline constexpr std::string_view kUninstallManifestFileName = ".tamberlock-uninstall.json";

// Whether an entry of the channel root is the temporary file that a write of
// those two, killed midway, leaves: uninstall.exe + ".tmp-" + process id +
// "-" + count (decimal), or .tamberlock-uninstall.json + ".tmp-" + 16
// lowercase hexadecimal digits (atomic_write.h). Byte for byte: the user's
// own files lie beside them, and nothing of ours writes another spelling.
bool isInterruptedWriteName(std::string_view name);

// Whether an entry of the channel root is one the update road names:
// app.prepared-*, app.prepare-*, app.update-*, app.previous,
// .tamberlock-prepare-*.json, .tamberlock-update-*.json and the two lock
// files, ASCII letters folded as Windows compares names.
bool isUpdateLeftoverName(std::string_view name);

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
