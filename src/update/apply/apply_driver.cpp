#include "update/apply/apply_driver.h"

#include <optional>

#include "common/diagnostics.h"
#include "common/out_of_memory.h"
#include "common/retry.h"
#include "platform/fs.h"
#include "update/apply/failed_update_state.h"
#include "update/apply/staged_payload.h"
#include "update/apply/stale_update_state.h"
#include "update/apply/update_aftermath.h"
#include "update/apply/update_helper_check.h"
#include "update/apply/update_helper_cleanup.h"
#include "update/apply/update_plan_check.h"
#include "update/apply/update_result.h"
#include "update/apply/update_transaction.h"
#include "update/update_locks.h"
#include "update/update_paths.h"

namespace tl {

namespace {

// A folder tree is deleted with up to 60 attempts, 500 ms apart.
constexpr int kTreeDeleteAttempts = 60;
constexpr std::uint64_t kTreeDeletePauseMs = 500;

Result<std::string> readCapped(fs::File& file, std::size_t cap) {
  std::string text(cap, '\0');
  std::size_t have = 0;
  while (have < cap) {
    const std::size_t n = TRY(fs::read(file, text.data() + have, cap - have));
    if (n == 0) break;
    have += n;
  }
  text.resize(have);
  return text;
}

Status removePreviousVersion(std::string_view folder) {
  const Result<fs::FileStat> st = fs::statNoFollow(folder);
  if (!st) {
    if (st.error() == Error::FileNotFound || st.error() == Error::NotDir) return success();
    return st.error();
  }
  if (st->kind != fs::FileKind::Directory) return Error::InvalidUpdatePath;
  return retryWithPauses(kTreeDeleteAttempts, kTreeDeletePauseMs, [&] { return fs::deleteTree(folder); });
}

// What every road past the plan check ends with once a result is out.
void releaseHelper(const UpdatePlan& plan, std::string_view planPath, std::string_view helperPath) {
  scheduleHelperCleanup(helperPath);
  deleteUpdateTask(plan.transaction_id);
  (void)deletePlanFile(planPath);
}

// The running program is not the plan's helper copy: the result says so,
// the previous version comes back, and the copy is left alone.
void finishUnverifiedHelper(const UpdatePlan& plan, std::string_view planPath, Error error, ParentProcess& parent) {
  (void)writeUpdateResult(plan.result_path, plan, false, UpdatePhase::validating, errorName(error));
  (void)invalidateFailedUpdateState(plan, UpdatePhase::validating);
  relaunchPreviousApp(plan, UpdatePhase::validating, false, error, parent);
  deleteUpdateTask(plan.transaction_id);
  (void)deletePlanFile(planPath);
}

void finishFailedUpdate(const UpdatePlan& plan, std::string_view planPath, std::string_view helperPath,
                        UpdatePhase phase, bool parentExited, Error error, ParentProcess& parent) {
  const Status written = writeUpdateResult(plan.result_path, plan, false, phase, errorName(error));
  if (!written) diagLine({"ERROR: Could not publish update failure result: ", written.error()});
  const Status invalidated = invalidateFailedUpdateState(plan, phase);
  if (!invalidated) diagLine({"Warning: Could not invalidate failed update payload: ", invalidated.error()});
  relaunchPreviousApp(plan, phase, parentExited, error, parent);
  releaseHelper(plan, planPath, helperPath);
}

Result<ApplyLock> takeApplyLockIn(const UpdatePlan& plan) {
  const fs::Dir root = TRY(fs::openDir(plan.channel_root));
  return takeApplyLock(root, plan.transaction_id);
}

bool isMissing(std::string_view path) {
  const Result<fs::FileStat> st = fs::statNoFollow(path);
  return !st && st.error() == Error::FileNotFound;
}

// The result file already tells of this plan's success, byte for byte as
// its run published it: that run was killed before its clean-up and its
// task started the plan again.
bool recordsSuccess(const UpdatePlan& plan) {
  const std::string published = formatUpdateResult(plan, true, UpdatePhase::complete, kUpdateSuccessMessage);
  const Result<std::string> text = fs::readFile(plan.result_path, published.size());
  return text && *text == published;
}

// The update is applied: the result and the installation stay as they are
// (self-extraction and the previous folder too, which a later preparation or
// update may own by now). Only what the killed run would have removed last
// goes: its copy, task and plan, when this is the plan's own copy.
Status finishAppliedBefore(const UpdatePlan& plan, std::string_view planPath) {
  const Result<std::string> helper = verifyUpdateHelperPath(plan.transaction_id);
  if (helper) releaseHelper(plan, planPath, *helper);
  return success();
}

// A schema 2 plan whose version a stopped run swapped in fails the check: its
// prepared folder is empty or gone, and the record may name a later
// preparation. It is let through when the rest of the plan holds and app
// holds that version whole, for the transaction to finish the commit.
Result<ResolvedUpdatePlan> resolveAppliedPlan(const UpdatePlan& plan, std::string_view planPath, Error rejected) {
  if (plan.schema_version != 2) return rejected;
  PlanCheckProgress progress;
  Result<ResolvedUpdatePlan> resolved = resolveUpdatePlan(plan, planPath, progress, PreparedStage::mayBeApplied);
  if (!resolved || !validateAppliedPayload(plan, plan.app_bundle_path)) return rejected;
  return resolved;
}

Status applyUpdate(std::string_view planPath) {
  const UpdatePlan plan = TRY(readUpdatePlanFile(planPath));

  // A failed check, for want of memory too, still gets its result written.
  PlanCheckProgress progress;
  Result<ResolvedUpdatePlan> resolved =
      catchingOutOfMemory([&] { return resolveUpdatePlan(plan, planPath, progress); });
  // One helper at a time in an installation, from before any of its state
  // is touched to the end of the run. A second one of the same transaction
  // (its task started twice) leaves everything to the first; one of another
  // transaction gives up its own plan only. A verified plan path puts the
  // channel root in place for the lock file; a plan short of it can touch
  // none of those that another helper owns.
  Result<ApplyLock> lock = Error::InvalidUpdatePath;
  if (progress.planPathVerified) {
    lock = takeApplyLockIn(plan);
    if (!lock && lock.error() == Error::UpdateApplicationBusy) return lock.error();
    // A helper that ended while this one checked the plan deleted it last:
    // the plan was that helper's, and is done with.
    if (lock && isMissing(planPath)) return Error::UpdateApplicationBusy;
  }
  // Ahead of the plan check's verdict: once applied, a prepared stage is
  // gone and the check would fail the applied update.
  if (progress.resultPathVerified && recordsSuccess(plan)) return finishAppliedBefore(plan, planPath);
  if (lock && !lock->applying()) {
    handleTurnedAwayPlan(plan, planPath, progress);
    return Error::UpdateApplicationBusy;
  }
  if (!resolved && lock) {
    resolved = catchingOutOfMemory([&] { return resolveAppliedPlan(plan, planPath, resolved.error()); });
  }
  if (!resolved) {
    handleRejectedPlan(plan, planPath, progress, resolved.error());
    return resolved.error();
  }
  ParentProcess parent(plan.parent_pid);
  parent.open();
  const Result<std::string> helper = verifyUpdateHelperPath(plan.transaction_id);
  if (!helper) {
    finishUnverifiedHelper(plan, planPath, helper.error(), parent);
    return helper.error();
  }

  UpdatePhase phase = UpdatePhase::validating;
  bool parentExited = false;
  // No other helper can hold a lock that could not be taken for another
  // reason (a folder under its name): the run fails as before staging.
  if (!lock) {
    finishFailedUpdate(plan, planPath, *helper, phase, parentExited, lock.error(), parent);
    return lock.error();
  }
  const Result<std::string> previous = catchingOutOfMemory(
      [&] { return applyPreparedUpdate(plan, *resolved, parent, *lock, phase, parentExited); });
  if (!previous) {
    finishFailedUpdate(plan, planPath, *helper, phase, parentExited, previous.error(), parent);
    return previous.error();
  }
  return finishAppliedUpdate(plan, planPath, *helper, *previous);
}

}  // namespace

Result<UpdatePlan> readUpdatePlanFile(std::string_view planPath) {
  TRY(validateUpdatePath(planPath));
  const Result<fs::FileStat> st = fs::statNoFollow(planPath);
  if (!st || st->kind != fs::FileKind::File) return Error::InvalidUpdatePath;
  fs::File file = TRY(fs::openFileRead(planPath));
  const fs::FileStat opened = TRY(fs::statFile(file));
  if (opened.kind != fs::FileKind::File || opened.size > kUpdatePlanCap) return Error::InvalidUpdatePlan;
  const std::string text = TRY(readCapped(file, kUpdatePlanCap));
  return parseUpdatePlan(text);
}

Status finishAppliedUpdate(const UpdatePlan& plan, std::string_view planPath, std::string_view helperPath,
                           std::string_view previousFolder) {
  const UpdatePhase phase = UpdatePhase::complete;
  const Status first = writeUpdateResult(plan.result_path, plan, true, phase, kUpdateSuccessMessage);
  if (!first) diagLine({"Warning: Will retry update result publication after cleanup: ", first.error()});
  cleanStaleCommittedUpdateState(plan);
  const Status removed = removePreviousVersion(previousFolder);
  if (!removed) diagLine({"Warning: Could not remove previous application after update: ", removed.error()});
  if (!first) {
    const Status again = writeUpdateResult(plan.result_path, plan, true, phase, kUpdateSuccessMessage);
    if (!again) {
      releaseHelper(plan, planPath, helperPath);
      return again.error();
    }
  }
  releaseHelper(plan, planPath, helperPath);
  return success();
}

Status runApplyUpdate(std::string_view planPath) {
  return catchingOutOfMemory([&] { return applyUpdate(planPath); });
}

}  // namespace tl
