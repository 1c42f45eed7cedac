#include "update/apply/update_transaction.h"

#include <optional>
#include <span>
#include <vector>

#include "common/diagnostics.h"
#include "common/install_layout.h"
#include "common/install_mutex.h"
#include "common/out_of_memory.h"
#include "common/paths.h"
#include "common/transaction_steps.h"
#include "platform/fs.h"
#include "platform/named_mutex.h"
#include "update/apply/staged_payload.h"
#include "update/apply/update_folder_moves.h"
#include "update/apply/update_launch.h"
#include "update/interrupted_stages.h"
#include "update/update_locks.h"
#include "update/update_names.h"
#include "update/update_paths.h"
#include "windows_integration/integration_driver.h"
#include "windows_integration/interrupted_writes.h"

namespace tl {

namespace {

struct Transaction {
  const UpdatePlan& plan;
  const ResolvedUpdatePlan& resolved;
  UpdatePhase& phase;
  bool& parentExited;
  ParentProcess& parentProcess;
  ApplyLock& applyLock;
  // Whether the uninstall entry names what app holds; while it may not, the
  // apply lock file keeps the swap's record for the next helper.
  bool integrationSettled = true;
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

// Integrates app as the installed version: the name the installation goes
// by, no build hash. Settles the integration when it succeeds.
void reintegrateInstalled(Transaction& t) {
  IntegrationIdentity id;
  id.identifier = t.plan.identifier;
  id.name = t.resolved.hasUninstallManifest ? t.resolved.displayName : t.displayName;
  id.channel = t.plan.channel;
  id.installRootName = t.resolved.channelFolderName;
  const Status s = integrateWindows(t.appFolder, id);
  t.integrationSettled = s.ok();
  if (!s) diagLine({"Warning: Could not restore previous uninstall integration: ", s.error()});
}

// A helper killed between a swap's first move and its last integration
// left the uninstall entry naming another version than app holds: the
// version in app is integrated again.
Status settleInterruptedIntegration(Transaction& t) {
  if (!TRY(t.applyLock.swapUnsettled())) return success();
  t.displayName = t.resolved.displayName;
  reintegrateInstalled(t);
  // A record that cannot be cleared only makes the next helper integrate
  // once more.
  if (t.integrationSettled) (void)t.applyLock.settleSwap();
  return success();
}

// Before anything is staged, what killed runs left, under the installation
// mutex: the installed version is put back into place, so that a failure of
// this update leaves the user an application, and the temporary files of
// their writes go. Returns whether app already holds the plan's version (a
// run stopped after its swap), with its display name in t.displayName;
// otherwise the uninstall entry names what app holds again. The caller
// holds the installation mutex.
Result<bool> settleInterruptedRuns(Transaction& t) {
  // The installer and the uninstall set app aside under the installation
  // mutex: only under it is a missing app a swap that was cut short.
  TRY(restoreInterruptedSwap(t));
  if (const Result<fs::Dir> root = fs::openDir(t.plan.channel_root); root) removeInterruptedWrites(*root);
  Result<std::string> applied = validateAppliedPayload(t.plan, t.appFolder);
  if (applied) {
    t.displayName = applied.take();
    return true;
  }
  if (applied.error() == Error::OutOfMemory) return applied.error();
  TRY(settleInterruptedIntegration(t));
  return false;
}

// Stages that killed runs left, which nothing else would remove.
Status removeStagesOfKilledRuns(const Transaction& t) {
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

// The swap's moves (or none, when they were made by an earlier run) and
// then what every swap goes on with: integration and launch, the installed
// version put back when one of them fails. The swap's record stays in the
// apply lock file until the uninstall entry names what app holds.
Status commit(Transaction& t, std::span<const TransactionStep> moves) {
  TRY(t.applyLock.recordSwap(t.plan.transaction_id));
  IntegrationIdentity id;
  id.identifier = t.plan.identifier;
  id.name = t.displayName;
  id.channel = t.plan.channel;
  id.buildHash = t.plan.hash;
  id.installRootName = t.resolved.channelFolderName;
  // Once the installed version is back, its integration is renewed if the
  // new one's had begun.
  const auto reintegrate = [&] { reintegrateInstalled(t); };
  std::vector<TransactionStep> steps(moves.begin(), moves.end());
  steps.push_back({.run =
                       [&]() -> Status {
                         t.phase = UpdatePhase::integrating;
                         t.integrationSettled = false;
                         TRY(integrateWindows(t.appFolder, id));
                         t.integrationSettled = true;
                         return success();
                       },
                   .afterRestore = reintegrate});
  steps.push_back({.run =
                       [&] {
                         t.phase = UpdatePhase::launching;
                         return launchAppWithoutWindow(t.appFolder);
                       },
                   .afterRestore = reintegrate});
  const TransactionOutcome out = runTransactionSteps(steps);
  if (!out.rollback) {
    diagLine({rollbackFailureLine(t.phase), out.rollback.error()});
    return Error::UpdateRollbackFailed;
  }
  if (t.integrationSettled) (void)t.applyLock.settleSwap();
  return out.failed;
}

Status swap(Transaction& t) {
  t.phase = UpdatePhase::swapping;
  TRY(readyForSwap(t));
  const std::string aside = joinPath({t.stage, t.stagedName});
  const TransactionStep moves[] = {
      // The failed version goes back into the stage before the installed
      // one returns, so that app never holds a partly deleted tree.
      {.run = [&] { return renameWithRetries(t.appFolder, t.previous); },
       .undo = [&] { return setAsideAndRestore(t.appFolder, t.previous, aside); }},
      {.run = [&] { return fs::rename(t.stagedRoot, t.appFolder); }},
  };
  return commit(t, moves);
}

// app already holds the plan's version: an earlier run of this version was
// stopped after its swap, once the parent had ended. Its commit is finished;
// when the integration or the launch fails, the previous folder, while it
// is there, comes back as after a failed swap.
Status finishCommit(Transaction& t) {
  t.parentExited = true;
  // Set aside under this transaction's stage name, which the next helper's
  // sweep removes if this one is stopped; stages of killed runs go first,
  // when they can.
  const std::string aside = concatStrings(concatStrings(t.appFolder, kUpdateStageInfix), t.plan.transaction_id);
  (void)removeStagesOfKilledRuns(t);
  deleteTreeIfDirectory(aside);
  const Result<fs::FileStat> previous = fs::statNoFollow(t.previous);
  if (!previous || previous->kind != fs::FileKind::Directory) return commit(t, {});
  const TransactionStep moved[] = {
      {.run = [] { return success(); }, .undo = [&] { return setAsideAndRestore(t.appFolder, t.previous, aside); }},
  };
  return commit(t, moved);
}

// Deletes the stage on the transaction's way out, but after a failure not a
// prepared folder of the version app holds: that version keeps its recipe
// and record too. A guard runs during unwinding as well, where a second
// exception would end the process.
class StageRemoval {
 public:
  explicit StageRemoval(const Transaction& t) : t_(t) {}
  StageRemoval(const StageRemoval&) = delete;
  StageRemoval& operator=(const StageRemoval&) = delete;
  ~StageRemoval() {
    (void)catchingOutOfMemory([&] {
      if (succeeded || t_.plan.schema_version != 2 || !holdsPlanBuild(t_.plan, t_.appFolder)) {
        deleteTreeIfDirectory(t_.stage);
      }
      return success();
    });
  }
  bool succeeded = false;

 private:
  const Transaction& t_;
};

Result<std::string> finishApplied(Transaction& t) {
  StageRemoval stage(t);
  TRY(finishCommit(t));
  stage.succeeded = true;
  return std::move(t.previous);
}

Result<std::string> apply(Transaction& t) {
  TRY(checkAppFolder(t));
  if (t.plan.schema_version == 2) {
    if (!t.plan.staging_path) return Error::InvalidUpdatePlan;
    t.stage = *t.plan.staging_path;
  } else {
    t.stage = concatStrings(concatStrings(t.appFolder, kUpdateStageInfix), t.plan.transaction_id);
  }
  {
    const InstallLock lock = TRY(acquireInstallMutex(t.plan.channel_root, platform::kInfinite));
    if (TRY(settleInterruptedRuns(t))) return finishApplied(t);
  }
  TRY(removeStagesOfKilledRuns(t));

  // Declared before the lock, so the mutex is released before the stage goes.
  StageRemoval stage(t);
  TRY(extractValidateAndWaitForParent(t));
  const InstallLock lock = TRY(acquireInstallMutex(t.plan.channel_root, platform::kInfinite));
  TRY(swap(t));
  stage.succeeded = true;
  return std::move(t.previous);
}

}  // namespace

Result<std::string> applyPreparedUpdate(const UpdatePlan& plan, const ResolvedUpdatePlan& resolved,
                                        ParentProcess& parentProcess, ApplyLock& applyLock, UpdatePhase& phase,
                                        bool& parentExited) {
  Transaction t{plan, resolved, phase, parentExited, parentProcess, applyLock};
  t.appFolder = plan.app_bundle_path;
  t.previous = previousPath(plan.app_bundle_path);
  return apply(t);
}

}  // namespace tl
