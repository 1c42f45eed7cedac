#include "uninstall/uninstall_flow.h"

#include <optional>
#include <string>
#include <vector>

#include "common/ascii_case.h"
#include "common/command_line.h"
#include "common/diagnostics.h"
#include "common/install_layout.h"
#include "common/install_mutex.h"
#include "common/paths.h"
#include "common/regular_file_at.h"
#include "native_ui/uninstall_choice.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "platform/process.h"
#include "common/retrying_delete.h"
#include "uninstall/uninstall_scripts.h"
#include "uninstall/uninstaller_copy.h"
#include "windows_integration/install_root.h"
#include "windows_integration/interrupted_writes.h"
#include "windows_integration/manager_install.h"
#include "windows_integration/shell_shortcuts.h"
#include "windows_integration/tool_runner.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

// A path below the root that must be missing or of an accepted kind.
Status checkRemovable(const fs::Dir& root, std::string_view name, bool folderAllowed) {
  Result<fs::FileStat> st = fs::statAt(root, name);
  if (!st.ok()) {
    if (st.error() == Error::FileNotFound || st.error() == Error::NotDir) return success();
    return st.error();
  }
  if (st->kind == fs::FileKind::File) return success();
  if (folderAllowed && st->kind == fs::FileKind::Directory) return success();
  return Error::InvalidUninstallLocation;
}

Status runPowerShellQuietly(const std::string& script) {
  std::vector<std::string> argv = TRY(powershellCommand(script));
  QuietRunResult r = TRY(runCommandQuietly(argv));
  if (!r.succeeded) return Error::WindowsCommandFailed;
  return success();
}

// Asks the processes of the application to stop; only ever warns.
void stopApplicationProcesses(const std::string& appDir) {
  Status s = runPowerShellQuietly(stopProcessesScript(quotePowerShellLiteral(appDir)));
  if (s.ok()) {
    io().sleepMs(500);
  } else {
    diagLine({"Warning: Could not stop running app processes: ", s.error()});
  }
}

// A lock file of a preparation or an update application that still runs.
// Windows refuses to delete the file its run holds open; elsewhere the held
// lock is what shows the run.
Result<bool> heldByARun(const fs::Dir& root, std::string_view name) {
  fs::File file = TRY(fs::createFileAt(root, name, /*exclusive=*/false, /*truncate=*/false));
  return !TRY(fs::tryLockRange(file, 0, 1));
}

void warnLeftoverKept(std::string_view name, Error error) {
  diagLine({"Warning: Could not remove update leftover ", name, ": ", error});
}

Status removeUpdateLeftover(const fs::Dir& root, const fs::DirEntry& entry) {
  if (entry.kind == fs::FileKind::Directory) return deleteTreeWithRetries(root, entry.name);
  const bool lockFile = asciiEqualIgnoreCase(entry.name, kPrepareLockFileName) ||
                        asciiEqualIgnoreCase(entry.name, kApplyLockFileName);
  if (lockFile && entry.kind == fs::FileKind::File && TRY(heldByARun(root, entry.name))) return Error::FileBusy;
  // A link is deleted as itself, never followed.
  return deleteFileWithRetries(root, entry.name);
}

// What the update road left beside the application (prepared and
// interrupted versions, the version a swap set aside, requests, plans,
// results, its lock files) goes with the application; everything else in the
// channel root is the user's. What cannot go stays, with a warning.
void removeUpdateLeftovers(const fs::Dir& root) {
  Result<std::vector<fs::DirEntry>> entries = fs::listDir(root);
  if (!entries.ok()) {
    diagLine({"Warning: Could not list update leftovers: ", entries.error()});
    return;
  }
  for (const fs::DirEntry& entry : *entries) {
    if (!isUpdateLeftoverName(entry.name)) continue;
    Status removed = removeUpdateLeftover(root, entry);
    if (!removed.ok()) warnLeftoverKept(entry.name, removed.error());
  }
}

// The temporary copy that finishes the uninstall; deleted again on failure.
class UninstallerCopy {
 public:
  ~UninstallerCopy() {
    if (!path_.empty() && !handedOver_) (void)fs::deleteFile(path_);
  }
  Status create(std::string_view ownPath) {
    std::string temp = TRY(tempDir());
    // A relative or linked temporary folder would make the copy refuse
    // itself after everything was removed: judge it by the copy's own rules
    // before anything is touched.
    if (!isAbsolutePath(temp)) return Error::InvalidUninstallLocation;
    TRY(fs::makePath(temp));
    std::string name = uninstallerCopyName(io().randomU64());
    std::string path = joinPath({temp, name});
    TRY(copyFileReplacing(ownPath, path));
    path_ = path;
    std::optional<std::string> folder = parentPath(path_);
    if (!folder) return Error::InvalidPath;
    folder_ = *folder;
    if (!isUninstallerCopyName(lastComponent(path_))) return Error::InvalidUninstallLocation;
    TRY(requireInTempDir(path_));
    return success();
  }
  const std::string& path() const { return path_; }
  const std::string& folder() const { return folder_; }
  void handedOver() { handedOver_ = true; }

 private:
  std::string path_;
  std::string folder_;
  bool handedOver_ = false;
};

}  // namespace

Status runUninstall(const UninstallOptions& options) {
  bool deleteData = options.delete_data;
  std::string own = TRY(process::ownExecutablePath());
  ManagerInstallRoot where = TRY(installRootFromManagerPath(own, false));
  const std::string& root = where.root;

  InstallLock lock = TRY(acquireInstallMutex(root, platform::kInfinite));
  std::string manifestPath = joinPath({root, ".tamberlock-uninstall.json"});
  UninstallManifest manifest = TRY(readUninstallManifest(manifestPath, root));

  if (!options.quiet) {
    switch (confirmUninstall(manifest.name)) {
      case UninstallChoice::AppOnly:
        deleteData = false;
        break;
      case UninstallChoice::AppAndData:
        deleteData = true;
        break;
      case UninstallChoice::Cancel:
        return success();
    }
  }

  InstallLayout layout = TRY(resolveInstallLayout(root, manifest.identifier, manifest.channel));
  if (!TRY(pathsEqualIgnoreCase(own, layout.uninstallManager))) return Error::InvalidUninstallLocation;
  if (!TRY(pathsEqualIgnoreCase(manifestPath, layout.manifestPath))) return Error::InvalidUninstallLocation;

  fs::Dir rootDir = TRY(openChannelRoot(layout, manifest.identifier));
  fs::File managerFile = TRY(openRegularFileAt(rootDir, "uninstall.exe", Error::InvalidUninstallLocation));
  fs::File manifestFile =
      TRY(openRegularFileAt(rootDir, ".tamberlock-uninstall.json", Error::InvalidUninstallManifest));
  TRY(checkRemovable(rootDir, kAppDirName, true));
  TRY(checkRemovable(rootDir, "self-extraction", true));
  TRY(checkRemovable(rootDir, "update.bat", false));

  for (const std::string& shortcut : {manifest.desktop_shortcut, manifest.start_menu_shortcut}) {
    TRY(runPowerShellQuietly(shortcutPrecheckScript(quotePowerShellLiteral(shortcut))));
  }

  if (!isValidFileName(manifest.identifier) || !isValidFileName(manifest.channel)) {
    return Error::InvalidInstallIdentity;
  }
  const std::string taskName = updateTaskName(manifest.identifier, manifest.channel);
  const std::string schtasks = TRY(systemToolPath("schtasks.exe"));
  Result<QuietRunResult> query = runCommandQuietly({schtasks, "/query", "/tn", taskName});
  const bool taskExists = query.ok() && query->succeeded;

  UninstallerCopy copy;
  TRY(copy.create(own));

  // From here the installation is being removed; every removal is tried and
  // the first failure (in a fixed order) is reported.
  std::optional<Error> taskError;
  if (taskExists) {
    (void)runCommandQuietly({schtasks, "/end", "/tn", taskName});
    Result<QuietRunResult> del = runCommandQuietly({schtasks, "/delete", "/tn", taskName, "/f"});
    if (!del.ok() || !del->succeeded) taskError = Error::WindowsCommandFailed;
  }
  stopApplicationProcesses(layout.appDir);
  Status appRemoved = deleteTreeWithRetries(rootDir, kAppDirName);
  Status selfExtractionRemoved = deleteTreeWithRetries(rootDir, "self-extraction");
  Status updateScriptRemoved = deleteFileWithRetries(rootDir, "update.bat");
  // Only once the application is gone: an installation that stays keeps its
  // update state. With the data chosen to go the copy takes the whole root.
  if (appRemoved.ok() && !deleteData) removeUpdateLeftovers(rootDir);
  // The temporaries of killed writes are no one's state, whatever else stays.
  if (!deleteData) removeInterruptedWrites(rootDir, warnLeftoverKept);
  const std::string launcher = joinPath({layout.appDir, "bin", "launcher.exe"});
  Status desktopRemoved = removeShortcutIfTargetMatches(manifest.desktop_shortcut, launcher);
  Status startMenuRemoved = removeShortcutIfTargetMatches(manifest.start_menu_shortcut, launcher);

  if (taskError) return *taskError;
  for (const Status* s : {&appRemoved, &selfExtractionRemoved, &updateScriptRemoved, &desktopRemoved,
                          &startMenuRemoved}) {
    if (!s->ok()) return s->error();
  }

  std::vector<std::string> argv = {copy.path(), "--cleanup-uninstaller", layout.uninstallManager,
                                   layout.manifestPath, manifest.install_nonce};
  if (deleteData) argv.push_back("--delete-data");
  process::SpawnOptions opts;
  opts.workingDirectory = copy.folder();
  opts.streams = process::StdStreams::Null;
  opts.noWindow = true;
  std::string commandLine = TRY(buildCommandLine(argv));
  TRY(process::spawnDetached(copy.path(), commandLine, opts));
  copy.handedOver();
  return success();
}

}  // namespace tl
