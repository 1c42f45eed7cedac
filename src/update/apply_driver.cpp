#include "update/apply_driver.h"

#include <new>
#include <optional>

#include "common/diagnostics.h"
#include "common/retry.h"
#include "platform/fs.h"
#include "update/failed_update_state.h"
#include "update/stale_update_state.h"
#include "update/update_aftermath.h"
#include "update/update_helper_check.h"
#include "update/update_helper_cleanup.h"
#include "update/update_paths.h"
#include "update/update_plan_check.h"
#include "update/update_result.h"
#include "update/update_roles.h"
#include "update/update_transaction.h"

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
void finishUnverifiedHelper(const UpdatePlan& plan, std::string_view planPath, Error error) {
  (void)writeUpdateResult(plan.result_path, plan, false, UpdatePhase::validating, errorName(error));
  (void)invalidateFailedUpdateState(plan, UpdatePhase::validating);
  relaunchPreviousApp(plan, UpdatePhase::validating, false, error);
  deleteUpdateTask(plan.transaction_id);
  (void)deletePlanFile(planPath);
}

void finishFailedUpdate(const UpdatePlan& plan, std::string_view planPath, std::string_view helperPath,
                        UpdatePhase phase, bool parentExited, Error error) {
  const Status written = writeUpdateResult(plan.result_path, plan, false, phase, errorName(error));
  if (!written) diagLine({"ERROR: Could not publish update failure result: ", written.error()});
  const Status invalidated = invalidateFailedUpdateState(plan, phase);
  if (!invalidated) diagLine({"Warning: Could not invalidate failed update payload: ", invalidated.error()});
  relaunchPreviousApp(plan, phase, parentExited, error);
  releaseHelper(plan, planPath, helperPath);
}

Status applyUpdate(std::string_view planPath) {
  const UpdatePlan plan = TRY(readUpdatePlanFile(planPath));

  PlanCheckProgress progress;
  const Result<ResolvedUpdatePlan> resolved = resolveUpdatePlan(plan, planPath, progress);
  if (!resolved) {
    handleRejectedPlan(plan, planPath, progress, resolved.error());
    return resolved.error();
  }
  const Result<std::string> helper = verifyUpdateHelperPath(plan.transaction_id);
  if (!helper) {
    finishUnverifiedHelper(plan, planPath, helper.error());
    return helper.error();
  }

  UpdatePhase phase = UpdatePhase::validating;
  bool parentExited = false;
  const Result<std::string> previous = applyPreparedUpdate(plan, *resolved, phase, parentExited);
  if (!previous) {
    finishFailedUpdate(plan, planPath, *helper, phase, parentExited, previous.error());
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
  try {
    return applyUpdate(planPath);
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

}  // namespace tl
