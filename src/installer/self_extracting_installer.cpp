#include "installer/self_extracting_installer.h"

#include <string>
#include <variant>

#include "common/diagnostics.h"
#include "common/install_mutex.h"
#include "common/out_of_memory.h"
#include "common/paths.h"
#include "installer/app_installation.h"
#include "installer/app_launch.h"
#include "installer/channel_root_preparation.h"
#include "installer/installer_payload.h"
#include "native_ui/progress_reporter.h"
#include "platform/fs.h"
#include "windows_integration/interrupted_writes.h"
#include "windows_integration/manager_install.h"

namespace tl {

namespace {

constexpr std::string_view kInstalledText = "The application was installed successfully.";
constexpr std::string_view kNotInstalledText = "The application could not be installed.";
constexpr std::string_view kLockedText =
    "The application is still running or its files are locked. Close it and try again.";
constexpr std::string_view kInProgressText =
    "Another installation is already in progress. Close it before trying again.";

std::string_view failureText(Error e) {
  switch (e) {
    case Error::PermissionDenied:
    case Error::AccessDenied:
    case Error::FileBusy:
      return kLockedText;
    case Error::InstallationAlreadyInProgress:
      return kInProgressText;
    default:
      return kNotInstalledText;
  }
}

// The failure page, then the error as the run's result.
Error fail(ProgressReporter& reporter, Error e) {
  finishProgressReporter(reporter, false, failureText(e));
  closeProgressReporter(reporter);
  return e;
}

struct ChannelPaths {
  std::string channelRoot;
  std::string selfExtractionDir;
  std::string appDir;
};

Result<ChannelPaths> channelPaths(const InstallerMetadata& m) {
  ChannelPaths p;
  p.channelRoot = TRY(installerChannelRoot(m.identifier, m.channel));
  p.selfExtractionDir = joinPath({p.channelRoot, "self-extraction"});
  p.appDir = joinPath({p.channelRoot, "app"});
  return p;
}

// Holds the installation mutex (tried once) around the installation proper.
Status installLocked(const InstallerArchiveSource& source, const InstallerMetadata& m, const ChannelPaths& paths,
                     ProgressReporter& reporter) {
  InstallLock lock = TRY(acquireInstallMutex(paths.channelRoot, 0));
  const InstallLayout layout = TRY(prepareChannelRoot(paths.channelRoot, m.identifier, m.channel));
  // A run that fails before it integrates still clears what a killed one
  // left half-written.
  if (Result<fs::Dir> root = openChannelRoot(layout, m.identifier); root.ok()) removeInterruptedWrites(*root);
  Status installed = extractAndInstallApp(source, m, paths.selfExtractionDir, paths.appDir, reporter);
  lock.release();
  return installed;
}

Result<InstallerOutcome> finishRun(const InstallerArchiveSource& source, const InstallerMetadata& m,
                                   const ChannelPaths& paths, ProgressReporter& reporter) {
  Status installed = installLocked(source, m, paths, reporter);
  if (!installed) return fail(reporter, installed.error());
  finishProgressReporter(reporter, true, kInstalledText);
  launchInstalledApp(paths.appDir);
  closeProgressReporter(reporter);
  return InstallerOutcome::Installed;
}

Result<InstallerOutcome> runSideRoad(const SidePayload& side) {
  const InstallerMetadata& m = side.metadata;
  if (!passesIdentityRule(m)) return Error::InvalidInstallIdentity;
  ProgressReporter reporter = createProgressReporter(m.name);
  if (Status s = fs::access(side.archivePath); !s) {
    finishProgressReporter(reporter, false, kNotInstalledText);
    closeProgressReporter(reporter);
    return s.error() == Error::FileNotFound ? Error::MissingInstallerArchive : s.error();
  }
  diagLine({"Found adjacent archive file: ", side.archivePath});
  diagLine({"Using metadata: identifier=", m.identifier, ", name=", m.name, ", channel=", m.channel});
  Result<ChannelPaths> paths = channelPaths(m);
  if (!paths) return fail(reporter, paths.error());
  printExtractingTo(paths->selfExtractionDir);
  diagLine({"App will be installed to: ", paths->appDir});
  return finishRun(InstallerArchiveSource::sideFile(side.archivePath), m, *paths, reporter);
}

Result<InstallerOutcome> runAppendedRoad(const AppendedPayload& appended) {
  InstallerMetadata m = TRY(parseInstallerMetadata(appended.metadataBytes()));
  if (!passesIdentityRule(m)) return Error::InvalidInstallIdentity;
  ProgressReporter reporter = createProgressReporter(m.name);
  Result<ChannelPaths> paths = channelPaths(m);
  if (!paths) return fail(reporter, paths.error());
  diagLine({"Self-extracting archive found at offset ", std::to_string(appended.archiveMarkerOffset)});
  return finishRun(InstallerArchiveSource::appended(appended.archiveBytes()), m, *paths, reporter);
}

}  // namespace

Result<InstallerOutcome> runSelfExtractingInstaller(std::string_view exePath) {
  return catchingOutOfMemory([&]() -> Result<InstallerOutcome> {
    LocatedPayload payload = TRY(locateInstallerPayload(exePath));
    if (const auto* side = std::get_if<SidePayload>(&payload)) return runSideRoad(*side);
    if (const auto* appended = std::get_if<AppendedPayload>(&payload)) return runAppendedRoad(*appended);
    return InstallerOutcome::NoPayloadFound;
  });
}

}  // namespace tl
