#include "common/transaction_steps.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tl {
namespace {

// Three steps; the run of step `failRun` fails with AccessDenied, and the
// undo that runs for step `failUndo` (its undoFailed when it is the failed
// step) with FileBusy. trace: r<i> run, u<i> undo, f<i> undoFailed, h<i>
// afterRestore.
struct Row {
  const char* name;
  int failRun;
  int failUndo;
  const char* trace;
  const char* failed;
  const char* rollback;
};

const Row kRows[] = {
    {"all succeed", -1, -1, "r0 r1 r2", "ok", "ok"},
    {"last fails: own partial work, then the rest in reverse, then the hook", 2, -1, "r0 r1 r2 f2 u1 u0 h2",
     "AccessDenied", "ok"},
    {"a failed undo ends the rollback under its own name", 2, 1, "r0 r1 r2 f2 u1", "AccessDenied", "FileBusy"},
    {"a failed undo of the failed step's own work", 1, 1, "r0 r1 f1", "AccessDenied", "FileBusy"},
};

std::string name(const Status& s) { return s ? "ok" : std::string(errorName(s.error())); }

TEST(TransactionSteps, UndoInReverseAfterAFailure) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    std::string trace;
    auto mark = [&](char what, int i, bool fails, Error e) -> Status {
      trace += std::string(trace.empty() ? "" : " ") + what + std::to_string(i);
      return fails ? Status(e) : success();
    };
    std::vector<TransactionStep> steps;
    for (int i = 0; i < 3; ++i) {
      steps.push_back({.run = [&, i] { return mark('r', i, i == row.failRun, Error::AccessDenied); },
                       .undo = [&, i] { return mark('u', i, i == row.failUndo, Error::FileBusy); },
                       .undoFailed = [&, i] { return mark('f', i, i == row.failUndo, Error::FileBusy); },
                       .afterRestore = [&, i] { (void)mark('h', i, false, Error::FileBusy); }});
    }
    const TransactionOutcome out = runTransactionSteps(steps);
    EXPECT_EQ(trace, row.trace);
    EXPECT_EQ(name(out.failed), row.failed);
    EXPECT_EQ(name(out.rollback), row.rollback);
  }
}

}  // namespace
}  // namespace tl
