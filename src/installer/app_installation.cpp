#include "installer/app_installation.h"

#include <array>
#include <optional>
#include <vector>

#include "archive/file_pull_reader.h"
#include "archive/pull_reader.h"
#include "common/diagnostics.h"
#include "common/install_layout.h"
#include "common/paths.h"
#include "common/retry.h"
#include "common/transaction_steps.h"
#include "installer/installer_archive_unpacking.h"
#include "platform/fs.h"
#include "windows_integration/integration_driver.h"

namespace tl {

namespace {

constexpr std::array<std::string_view, 5> kExecutables = {"bin/launcher", "bin/brackenfly", "bin/bspatch",
                                                          "bin/bsdiff", "bin/qov-zstd"};
constexpr std::array<std::string_view, 5> kCefLibraries = {"libcef.so", "libEGL.so", "libGLESv2.so",
                                                           "libvk_swiftshader.so", "libvulkan.so.1"};

// The existence test. A link counts as present, whatever it points at: the
// installation moves and deletes links as themselves.
Result<bool> exists(std::string_view path) {
  Result<fs::FileStat> st = fs::statNoFollow(path);
  if (st) return true;
  if (st.error() == Error::FileNotFound) return false;
  return st.error();
}

// Deletes a path of the installation's own: a folder as a tree (links inside
// are removed as themselves, never followed), anything else as a file.
Status deleteOwnedTree(std::string_view path) {
  Status s = fs::deleteTree(path);
  if (!s && s.error() == Error::NotDir) return fs::deleteFile(path);
  return s;
}

std::string_view fileKindName(fs::FileKind kind) {
  switch (kind) {
    case fs::FileKind::File:
      return "file";
    case fs::FileKind::Directory:
      return "directory";
    case fs::FileKind::SymLink:
      return "sym_link";
    case fs::FileKind::BlockDevice:
      return "block_device";
    case fs::FileKind::CharacterDevice:
      return "character_device";
    case fs::FileKind::NamedPipe:
      return "named_pipe";
    case fs::FileKind::UnixDomainSocket:
      return "unix_domain_socket";
    case fs::FileKind::Unknown:
      break;
  }
  return "unknown";
}

void listExtractionFolder(std::string_view partial) {
  std::lock_guard<std::recursive_mutex> lock(stderrMutex());
  writeDiag({"DEBUG: Listing contents of extraction directory '", partial, "':\n"});
  Result<fs::Dir> dir = fs::openDir(partial, true);
  if (!dir) return;
  Result<std::vector<fs::DirEntry>> entries = fs::listDir(*dir);
  if (!entries) return;
  for (const fs::DirEntry& e : *entries) writeDiag({"  - ", e.name, " (", fileKindName(e.kind), ")\n"});
}

// The paths of one installation.
struct Installation {
  const InstallerMetadata& metadata;
  std::string_view selfExtractionDir;
  std::string_view appDir;
  ProgressReporter& reporter;
  std::string partial;
  std::string previousApp;
  std::string previousSelfExtraction;

  // Every failure, once what the failed swap did is undone.
  Status fail(Error e) {
    (void)deleteOwnedTree(partial);
    setInstallStage(reporter, InstallStage::Failed);
    return e;
  }
};

// The installation is handed paths derived from outside input: before
// anything is written they must be the "app" and "self-extraction" of a
// channel root that is a real folder in its place below the local
// application-data folder.
Status checkInstallTargets(const InstallerMetadata& metadata, std::string_view selfExtractionDir,
                           std::string_view appDir) {
  std::optional<std::string> root = parentPath(appDir);
  if (!root) return Error::InvalidUninstallLocation;
  InstallLayout layout = TRY(resolveInstallLayout(*root, metadata.identifier, metadata.channel));
  bool sameApp = TRY(pathsEqualIgnoreCase(appDir, layout.appDir));
  bool sameSelf = TRY(pathsEqualIgnoreCase(selfExtractionDir, layout.selfExtractionDir));
  if (!sameApp || !sameSelf) return Error::InvalidUninstallLocation;
  return success();
}

Status unpackSource(const InstallerArchiveSource& source, std::string_view partial,
                    std::optional<std::string_view> hash) {
  if (!source.isFile) {
    MemoryPullReader reader(source.bytes);
    return unpackInstallerArchive(reader, partial, hash);
  }
  // The side archive may be reached through a link, as the access test and
  // the metadata read do: open what the link names.
  Result<std::string> real = fs::realPath(source.path);
  if (!real) return real.error();
  Result<fs::File> file = fs::openFileRead(*real);
  if (!file) return file.error() == Error::IsDir ? Error::InvalidInstaller : file.error();
  Result<fs::FileStat> st = fs::statFile(*file);
  if (!st) return st.error();
  if (st->kind != fs::FileKind::File) return Error::InvalidInstaller;
  FilePullReader reader(*file);
  return unpackInstallerArchive(reader, partial, hash);
}

// Brings back a folder that an interrupted run left aside, and clears a
// stale aside copy. Returns whether `current` is there to be set aside.
Result<bool> readyToSetAside(std::string_view current, std::string_view aside) {
  bool currentExists = TRY(exists(current));
  bool asideExists = TRY(exists(aside));
  if (!currentExists && asideExists) {
    TRY(fs::rename(aside, current));
    currentExists = true;
    asideExists = false;
  }
  if (asideExists) TRY(deleteOwnedTree(aside));
  return currentExists;
}

// Sets the folder at `current` aside; its undo renames it back and tells
// onFailedRestore when that fails.
TransactionStep setAsideStep(std::string_view current, std::string_view aside, void (*onFailedRestore)(Error)) {
  return {.run = [=] { return fs::rename(current, aside); },
          .undo =
              [=] {
                Status s = fs::rename(aside, current);
                if (!s) onFailedRestore(s.error());
                return s;
              }};
}

Status moveIn(std::string_view from, std::string_view to) {
  return retryWithPauses(kMoveInAttempts, kMoveInPauseMs, [&] { return fs::rename(from, to); });
}

void createLibraryLinks(std::string_view appDir) {
  std::string cef = joinPath({appDir, "bin", "cef"});
  if (!fs::statNoFollow(cef).ok()) {
    writeDiag({"CEF directory not found, skipping symlink creation\n"});
    return;
  }
  writeDiag({"Creating CEF symlinks...\n"});
  for (std::string_view library : kCefLibraries) {
    std::string link = joinPath({appDir, "bin", library});
    std::string target = "cef/" + std::string(library);
    // Only where nothing is: a file the archive shipped under the name stays,
    // so the tree keeps matching its recipe.
    Status s = fs::createSymlink(link, target, false);
    if (s) {
      writeDiag({"Created symlink: ", link, " -> ", target, "\n"});
    } else {
      writeDiag({"Warning: Could not create symlink for ", library, ": ", s.error(), "\n"});
    }
  }
}

// The partial folder (holding only the new recipe) becomes
// "self-extraction"; on failure the old one is put back where it can be.
Status swapSelfExtraction(const Installation& in) {
  const bool hadSelf = TRY(readyToSetAside(in.selfExtractionDir, in.previousSelfExtraction));
  std::vector<TransactionStep> steps;
  if (hadSelf) steps.push_back(setAsideStep(in.selfExtractionDir, in.previousSelfExtraction, [](Error) {}));
  steps.push_back({.run = [&] { return fs::rename(in.partial, in.selfExtractionDir); }});
  TRY(runTransactionSteps(steps).failed);
  if (hadSelf) (void)deleteOwnedTree(in.previousSelfExtraction);
  return success();
}

Status integrate(const InstallerMetadata& m, std::string_view appDir) {
  IntegrationIdentity identity;
  identity.identifier = m.identifier;
  identity.name = m.name;
  identity.channel = m.channel;
  if (m.hash) identity.buildHash = *m.hash;
  if (m.install_root_name) identity.installRootName = *m.install_root_name;
  return integrateWindows(appDir, identity);
}

}  // namespace

std::string appBundleName(std::string_view name, std::string_view channel) {
  std::string out;
  for (char c : name) {
    if (c != ' ') out += c;
  }
  if (channel != "stable") {
    out += '-';
    out += channel;
  }
  return out;
}

void printExtractingTo(std::string_view path) { writeDiag({"Extracting to: ", path, "\n"}); }
void printInstallDone() { writeDiag({" Done!\n"}); }
void printRollbackRestoreError(Error e) {
  writeDiag({"ERROR: Failed to restore previous application during rollback: ", e, "\n"});
}
void warnRollbackCleanupFailed(Error e) {
  writeDiag({"WARNING: Failed to remove incomplete application during rollback: ", e, "\n"});
}

void fixExecutablePermissions(std::string_view appDir) {
  writeDiag({"DEBUG: fixExecutablePermissions called with dir: ", appDir, "\n"});
  writeDiag({"DEBUG: Processing executables list...\n"});
  // Windows has no executable bit: opening each one only shows it is there.
  for (std::string_view exe : kExecutables) {
    Result<fs::File> f = fs::openFileRead(joinPath({appDir, exe}));
    (void)f;
  }
  writeDiag({"DEBUG: Done with executables list\n"});
  writeDiag({"DEBUG: fixExecutablePermissions completed successfully\n"});
}

Status extractAndInstallApp(const InstallerArchiveSource& source, const InstallerMetadata& metadata,
                            std::string_view selfExtractionDir, std::string_view appDir, ProgressReporter& reporter) {
  Installation in{metadata, selfExtractionDir, appDir, reporter};
  if (Status s = checkInstallTargets(metadata, selfExtractionDir, appDir); !s) {
    setInstallStage(reporter, InstallStage::Failed);
    return s.error();
  }
  in.partial = std::string(selfExtractionDir) + ".partial";
  in.previousApp = std::string(appDir) + std::string(kPreviousAppSuffix);
  in.previousSelfExtraction = std::string(selfExtractionDir) + std::string(kPreviousAppSuffix);

  // A leftover partial folder (or a file of its name) goes first.
  if (Status s = deleteOwnedTree(in.partial); !s) return in.fail(s.error());
  if (Status s = fs::makePath(in.partial); !s) return in.fail(s.error());

  setInstallStage(reporter, InstallStage::Extracting);
  std::optional<std::string_view> hash;
  if (metadata.hash) hash = *metadata.hash;
  if (Status s = unpackSource(source, in.partial, hash); !s) return in.fail(s.error());
  printInstallDone();

  writeDiag({"\nDEBUG: Building extracted app path...\n"});
  writeDiag({"DEBUG: metadata.name = '", metadata.name, "'\n"});
  writeDiag({"DEBUG: metadata.channel = '", metadata.channel, "'\n"});
  const std::string bundle = appBundleName(metadata.name, metadata.channel);
  if (!isValidFileName(bundle)) return in.fail(Error::InvalidAppBundleName);
  writeDiag({"DEBUG: app_bundle_name = '", bundle, "'\n"});
  const std::string extracted = joinPath({in.partial, bundle});
  writeDiag({"DEBUG: extracted_app_path = '", extracted, "'\n"});
  writeDiag({"\nDEBUG: Preparing to move app...\n"});
  writeDiag({"DEBUG: Source (extracted_app_path) = '", extracted, "'\n"});
  writeDiag({"DEBUG: Destination (app_dir) = '", appDir, "'\n"});

  if (Result<fs::FileStat> st = fs::statNoFollow(extracted); !st) {
    writeDiag({"ERROR: Source directory does not exist: '", extracted, "' - ", st.error(), "\n"});
    listExtractionFolder(in.partial);
    return in.fail(st.error());
  }
  writeDiag({"DEBUG: Source directory exists\n"});

  // What the integration would refuse after the swap is refused here, while
  // the installed application is still untouched.
  Result<std::string> realPartial = fs::realPath(in.partial);
  if (!realPartial) return in.fail(realPartial.error());
  if (Status s = checkIntegrableTree(extracted, *realPartial); !s) return in.fail(s.error());

  Result<bool> hadApp = readyToSetAside(appDir, in.previousApp);
  if (!hadApp) return in.fail(hadApp.error());
  // The rollback goes on after a failed clean-up, so that the previous
  // application is still restored.
  const auto removeIncompleteApp = [&] {
    if (Status s = deleteOwnedTree(appDir); !s) warnRollbackCleanupFailed(s.error());
    return success();
  };
  std::vector<TransactionStep> steps;
  if (*hadApp) steps.push_back(setAsideStep(appDir, in.previousApp, printRollbackRestoreError));
  steps.push_back({.run =
                       [&]() -> Status {
                         setInstallStage(reporter, InstallStage::Installing);
                         TRY(moveIn(extracted, appDir));
                         fixExecutablePermissions(appDir);
                         createLibraryLinks(appDir);
                         return success();
                       },
                   .undo = removeIncompleteApp,
                   .undoFailed = removeIncompleteApp});
  steps.push_back({.run = [&] { return swapSelfExtraction(in); }});
  if (const TransactionOutcome out = runTransactionSteps(steps); !out.failed) return in.fail(out.failed.error());

  // Committed: the previous application is no longer needed.
  if (*hadApp) {
    if (Status s = deleteOwnedTree(in.previousApp); !s) {
      writeDiag({"WARNING: Failed to remove previous application after commit: ", s.error(), "\n"});
    }
  }
  setInstallStage(reporter, InstallStage::Integrating);
  if (Status s = integrate(metadata, appDir); !s) {
    setInstallStage(reporter, InstallStage::Failed);
    return s.error();
  }
  printInstallDone();
  writeDiag({"Installation completed successfully!\n"});
  return success();
}

}  // namespace tl
