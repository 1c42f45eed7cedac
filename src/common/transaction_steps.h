#pragma once
// A transaction as a list of steps, each with its undo. The steps run in
// order; when one fails, what was done is undone, last done first, so that
// the failure leaves the state the steps started from.
#include <functional>
#include <span>

#include "common/result.h"

namespace tl {

struct TransactionStep {
  std::function<Status()> run;
  // Undoes run once it has succeeded; empty when there is nothing to undo.
  std::function<Status()> undo;
  // Undoes what run did before it failed; empty when a failed run leaves
  // nothing behind.
  std::function<Status()> undoFailed;
  // Runs when this step failed and everything done has been undone.
  std::function<void()> afterRestore;
};

struct TransactionOutcome {
  Status failed = success();    // the failed step's error, or success
  Status rollback = success();  // the undo that failed, or success
};

// Runs the steps in order. When one fails: its undoFailed, then the undos of
// the steps done in reverse order; the first undo that fails ends the
// rollback and is reported in `rollback`. Only after a whole rollback does
// the failed step's afterRestore run.
[[nodiscard]] TransactionOutcome runTransactionSteps(std::span<const TransactionStep> steps);

}  // namespace tl
