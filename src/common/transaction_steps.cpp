#include "common/transaction_steps.h"

namespace tl {

namespace {

Status undoIfAny(const std::function<Status()>& undo) { return undo ? undo() : success(); }

}  // namespace

TransactionOutcome runTransactionSteps(std::span<const TransactionStep> steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Status s = steps[i].run();
    if (s) continue;
    TransactionOutcome out{s.error()};
    out.rollback = undoIfAny(steps[i].undoFailed);
    for (std::size_t j = i; out.rollback && j-- > 0;) out.rollback = undoIfAny(steps[j].undo);
    if (out.rollback && steps[i].afterRestore) steps[i].afterRestore();
    return out;
  }
  return {};
}

}  // namespace tl
