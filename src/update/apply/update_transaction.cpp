#include "update/apply/update_transaction.h"

#include <optional>

#include "common/diagnostics.h"
#include "common/install_layout.h"
#include "common/install_mutex.h"
#include "common/out_of_memory.h"
#include "common/paths.h"
#include "common/scope_guard.h"
#include "common/transaction_steps.h"
#include "platform/fs.h"
#include "platform/named_mutex.h"
#include "update/apply/staged_payload.h"
#include "update/apply/update_folder_moves.h"
#include "update/apply/update_launch.h"
#include "update/interrupted_stages.h"
#include "update/update_names.h"
#include "update/update_paths.h"
#include "windows_integration/integration_driver.h"

namespace tl {

namespace {

struct Transaction {
  const UpdatePlan& plan;
  const ResolvedUpdatePlan& resolved;
  UpdatePhase& phase;
  bool& parentExited;
  ParentProcess& parentProcess;
  std::string appFolder;
  std::string parent;
  std::string previous;
  std::string stage;
  std::string stagedRoot;
  std::string stagedName;  // the staged root's own name
  std::string displayName;  // from the staged version.json
};

Result<bool> exists(std::string_view path) {
  const Result<fs::FileStat> st = fs::statNoFollow(path);
  if (st) return true;
  if (st.error() == Error::FileNotFound) return false;
  return st.error();
}

Status requireFolder(std::string_view path) {
  const fs::FileStat st = TRY(fs::statNoFollow(path));
  if (st.kind != fs::FileKind::Directory) return Error::InvalidUpdatePath;
  return success();
}

// The app folder lies directly in its parent; or, after a swap that stopped
// between its renames, it is missing and its previous folder lies there, for
// the swap to put back.
Status checkAppFolder(Transaction& t) {
  const std::optional<std::string> parent = parentPath(t.appFolder);
  if (!parent) return Error::InvalidUpdatePath;
  t.parent = *parent;
  TRY(validateUpdatePath(t.parent));
  const Status within = requirePathWithin(t.parent, t.appFolder, PathKind::directory);
  if (within) return success();
  const Result<fs::FileStat> app = fs::statNoFollow(t.appFolder);
  const bool interrupted = !app && app.error() == Error::FileNotFound &&
                           requirePathWithin(t.parent, t.previous, PathKind::directory).ok();
  return interrupted ? success() : within;
}

// Extracting, validating the payload and waiting for the parent: nothing
// installed changes.
Status extractValidateAndWaitForParent(Transaction& t) {
  t.phase = UpdatePhase::extracting;
  t.stagedRoot = TRY(stagePayload(t.plan, t.stage));
  t.stagedName = std::string(lastComponent(t.stagedRoot));
  t.phase = UpdatePhase::validatingPayload;
  t.displayName = TRY(validateStagedPayload(t.plan, t.stage, t.stagedRoot));
  t.phase = UpdatePhase::waitingForParent;
  TRY(t.parentProcess.wait());
  t.parentExited = true;
  return success();
}

// A swap that stopped between its renames left the installed version in
// the previous folder and no app folder: it goes back.
Status restoreInterruptedSwap(const Transaction& t) {
  const bool app = TRY(exists(t.appFolder));
  const bool previous = TRY(exists(t.previous));
  if (app || !previous) return success();
  TRY(requireFolder(t.previous));
  return renameWithRetries(t.previous, t.appFolder);
}

// Before anything is staged, what killed runs left: the installed version
// is put back into place, so that a failure of this update leaves the user
// an application, and their stages go, which nothing else would remove.
Status clearInterruptedRuns(const Transaction& t) {
  {
    // The installer and the uninstall set app aside under the installation
    // mutex: only under it is a missing app a swap that was cut short.
    const InstallLock lock = TRY(acquireInstallMutex(t.plan.channel_root, platform::kInfinite));
    TRY(restoreInterruptedSwap(t));
  }
  const fs::Dir parent = TRY(fs::openDir(t.parent));
  return removeInterruptedStages(parent, lastComponent(t.appFolder), kUpdateStageInfix);
}

// Before anything moves: an interrupted swap is put back, a previous folder
// left by an earlier update goes.
Status readyForSwap(const Transaction& t) {
  TRY(restoreInterruptedSwap(t));
  const bool app = TRY(exists(t.appFolder));
  if (!app) return Error::UpdateTargetMissing;
  const Result<fs::FileStat> st = fs::statNoFollow(t.previous);
  if (st) {
    if (st->kind != fs::FileKind::Directory) return Error::InvalidUpdatePath;
    TRY(fs::deleteTree(t.previous));
  } else if (st.error() != Error::FileNotFound && st.error() != Error::NotDir) {
    return st.error();
  }
  return requirePathWithin(t.parent, t.appFolder, PathKind::directory);
}

void reintegrateRestored(const Transaction& t) {
  IntegrationIdentity id;
  id.identifier = t.plan.identifier;
  id.name = t.resolved.hasUninstallManifest ? t.resolved.displayName : t.displayName;
  id.channel = t.plan.channel;
  id.installRootName = t.resolved.channelFolderName;
  if (Status s = integrateWindows(t.appFolder, id); !s) {
    diagLine({"Warning: Could not restore previous uninstall integration: ", s.error()});
  }
}

std::string_view rollbackFailureLine(UpdatePhase failed) {
  switch (failed) {
    case UpdatePhase::integrating:
      return "ERROR: Update rollback failed after integration error: ";
    case UpdatePhase::launching:
      return "ERROR: Update rollback failed after launch error: ";
    default:
      return "ERROR: Update rollback failed after swap error: ";
  }
}

Status swap(Transaction& t) {
  t.phase = UpdatePhase::swapping;
  TRY(readyForSwap(t));
  IntegrationIdentity id;
  id.identifier = t.plan.identifier;
  id.name = t.displayName;
  id.channel = t.plan.channel;
  id.buildHash = t.plan.hash;
  id.installRootName = t.resolved.channelFolderName;
  const std::string aside = joinPath({t.stage, t.stagedName});
  // Once the installed version is back, its integration is renewed if the
  // new one's had begun.
  const auto reintegrate = [&] { reintegrateRestored(t); };
  const TransactionStep steps[] = {
      // The failed version goes back into the stage before the installed
      // one returns, so that app never holds a partly deleted tree.
      {.run = [&] { return renameWithRetries(t.appFolder, t.previous); },
       .undo = [&] { return setAsideAndRestore(t.appFolder, t.previous, aside); }},
      {.run = [&] { return fs::rename(t.stagedRoot, t.appFolder); }},
      {.run =
           [&] {
             t.phase = UpdatePhase::integrating;
             return integrateWindows(t.appFolder, id);
           },
       .afterRestore = reintegrate},
      {.run =
           [&] {
             t.phase = UpdatePhase::launching;
             return launchAppWithoutWindow(t.appFolder);
           },
       .afterRestore = reintegrate},
  };
  const TransactionOutcome out = runTransactionSteps(steps);
  if (!out.rollback) {
    diagLine({rollbackFailureLine(t.phase), out.rollback.error()});
    return Error::UpdateRollbackFailed;
  }
  return out.failed;
}

Result<std::string> apply(Transaction& t) {
  TRY(checkAppFolder(t));
  if (t.plan.schema_version == 2) {
    if (!t.plan.staging_path) return Error::InvalidUpdatePlan;
    t.stage = *t.plan.staging_path;
  } else {
    t.stage = concatStrings(concatStrings(t.appFolder, kUpdateStageInfix), t.plan.transaction_id);
  }
  TRY(clearInterruptedRuns(t));

  // Declared before the lock, so the mutex is released before the stage goes.
  // A guard runs during unwinding too, where a second exception would end
  // the process.
  const ScopeGuard removeStage([&] {
    (void)catchingOutOfMemory([&] {
      deleteTreeIfDirectory(t.stage);
      return success();
    });
  });
  TRY(extractValidateAndWaitForParent(t));
  const InstallLock lock = TRY(acquireInstallMutex(t.plan.channel_root, platform::kInfinite));
  TRY(swap(t));
  return std::move(t.previous);
}

}  // namespace

Result<std::string> applyPreparedUpdate(const UpdatePlan& plan, const ResolvedUpdatePlan& resolved,
                                        ParentProcess& parentProcess, UpdatePhase& phase, bool& parentExited) {
  Transaction t{plan, resolved, phase, parentExited, parentProcess};
  t.appFolder = plan.app_bundle_path;
  t.previous = previousPath(plan.app_bundle_path);
  return apply(t);
}

}  // namespace tl
