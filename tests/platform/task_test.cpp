#include "platform/task.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/fs.h"
#include "platform/io_context.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

// A body that pauses on the (fake) clock until it is canceled, then tries a
// file operation: the pauses move the fake time past the deadline, so the
// deadline passes without any real waiting.
Status waitForCancelThenTouch(const std::string& path) {
  while (io().pauseMs(100).ok()) {
  }
  return fs::makeDir(path);
}

TEST(Task, DeadlineOnTheFakeClockCancelsAndAwaitsTheTask) {
  test::TempDir dir;
  std::atomic<bool> ended{false};
  Result<Task> task = Task::start([&] {
    Status s = waitForCancelThenTouch(dir.win("late"));
    ended = true;
    return s;
  });
  ASSERT_TRUE(task.ok());
  EXPECT_FALSE(task->waitUntil(io().nowMs() + 60'000));
  EXPECT_TRUE(ended.load());
  ASSERT_FALSE(task->result().ok());
  EXPECT_EQ(task->result().error(), Error::Canceled);
  // The task's cancel stays with it: the caller's own clean-up still runs.
  EXPECT_FALSE(io().canceled());
  EXPECT_TRUE(fs::makeDir(dir.win("cleanup")).ok());
}

TEST(Task, ResultOfATaskThatEndsInTimeAndOfThreadsItStarts) {
  Result<Task> task = Task::start([] {
    // A thread the task starts is canceled with it.
    Result<platform::Thread> t = platform::Thread::create([] { return io().canceled() ? 1u : 0u; });
    if (!t.ok() || t->wait() != 0) return Status(Error::Unexpected);
    return Status(Error::FileNotFound);
  });
  ASSERT_TRUE(task.ok());
  EXPECT_TRUE(task->waitUntil(io().nowMs() + 1));
  EXPECT_EQ(task->result().error(), Error::FileNotFound);

  std::atomic<bool> go{false};
  Result<Task> canceled = Task::start([&] {
    while (!go.load()) {
    }
    Result<platform::Thread> t = platform::Thread::create([] { return io().canceled() ? 1u : 0u; });
    return t.ok() && t->wait() == 1 ? success() : Status(Error::Unexpected);
  });
  ASSERT_TRUE(canceled.ok());
  canceled->cancel();
  go = true;
  EXPECT_TRUE(canceled->wait().ok());
}

TEST(Task, NoThreadIsConcurrencyUnavailable) {
  platform::failThreadCreationForTesting(true);
  Result<Task> task = Task::start([] { return success(); });
  platform::failThreadCreationForTesting(false);
  ASSERT_FALSE(task.ok());
  EXPECT_EQ(task.error(), Error::ConcurrencyUnavailable);
}

}  // namespace
}  // namespace tl
