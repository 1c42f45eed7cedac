#pragma once
// The body of an installation: unpack next to the installation, swap the new
// application in as "app" and the new "self-extraction" folder in, keep the
// previous application aside until the new one is committed, roll back when
// a step fails, then tie the application to Windows.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "common/result.h"
#include "installer/installer_metadata.h"
#include "native_ui/progress_reporter.h"

namespace tl {

// Where the compressed archive comes from: the side file, or the bytes
// appended to the executable (borrowed).
struct InstallerArchiveSource {
  static InstallerArchiveSource sideFile(std::string path) {
    InstallerArchiveSource s;
    s.isFile = true;
    s.path = std::move(path);
    return s;
  }
  static InstallerArchiveSource appended(std::string_view bytes) {
    InstallerArchiveSource s;
    s.bytes = bytes;
    return s;
  }
  bool isFile = false;
  std::string path;
  std::string_view bytes;
};

// Move-in attempts and the pause between them.
inline constexpr int kMoveInAttempts = 60;
inline constexpr std::uint64_t kMoveInPauseMs = 500;

// The metadata name without spaces, "-<channel>" appended unless stable.
std::string appBundleName(std::string_view name, std::string_view channel);

// selfExtractionDir and appDir are the channel root's "self-extraction" and
// "app". On failure the reporter shows stage 6.
[[nodiscard]] Status extractAndInstallApp(const InstallerArchiveSource& source, const InstallerMetadata& metadata,
                                          std::string_view selfExtractionDir, std::string_view appDir,
                                          ProgressReporter& reporter);

// Touches the application's known executables; nothing to change here.
void fixExecutablePermissions(std::string_view appDir);

void printExtractingTo(std::string_view path);
void printInstallDone();
void printRollbackRestoreError(Error e);
void warnRollbackCleanupFailed(Error e);

}  // namespace tl
