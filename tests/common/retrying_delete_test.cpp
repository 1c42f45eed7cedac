#include "common/retrying_delete.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/fs.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

test::FakeClock& fakeClock() { return dynamic_cast<test::FakeClock&>(io().clock()); }

bool exists(const std::string& host) {
  struct stat st {};
  return ::lstat(host.c_str(), &st) == 0;
}

// Fails the given operation on one name a number of times (-1: always),
// counting the attempts; the error may change from attempt to attempt.
class FlakyName {
 public:
  FlakyName(FsOp op, std::string name, int failures) : op_(op), name_(std::move(name)), failures_(failures) {
    io().setFaultHook([this](FsOp op, std::string_view path) -> Status {
      if (op != op_ || path != name_) return success();
      ++attempts_;
      if (failures_ >= 0 && attempts_ > failures_) return success();
      return attempts_ % 2 ? Error::FileBusy : Error::AccessDenied;
    });
  }
  ~FlakyName() { io().setFaultHook(nullptr); }
  int attempts() const { return attempts_; }

 private:
  FsOp op_;
  std::string name_;
  int failures_;
  int attempts_ = 0;
};

class RetryingDelete : public testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(dir_.host("tree").c_str(), 0755);
    ::mkdir(dir_.host("tree/sub").c_str(), 0755);
    std::ofstream(dir_.host("tree/sub/f")) << "x";
    std::ofstream(dir_.host("file")) << "x";
    Result<fs::Dir> d = fs::openDir(dir_.path());
    ASSERT_TRUE(d.ok());
    root_ = d.take();
    sleptBefore_ = fakeClock().totalSleptMs();
    pausesBefore_ = fakeClock().sleepCount();
  }
  std::uint64_t slept() const { return fakeClock().totalSleptMs() - sleptBefore_; }
  std::uint64_t pauses() const { return fakeClock().sleepCount() - pausesBefore_; }

  test::TempDir dir_;
  fs::Dir root_;
  std::uint64_t sleptBefore_ = 0;
  std::uint64_t pausesBefore_ = 0;
};

TEST_F(RetryingDelete, TreeOutlastsAHolderThatLetsGo) {
  FlakyName flaky(FsOp::DeleteDir, "tree", 7);
  ASSERT_TRUE(deleteTreeWithRetries(root_, "tree").ok());
  EXPECT_EQ(flaky.attempts(), 8);
  EXPECT_EQ(pauses(), 7u);
  EXPECT_EQ(slept(), 7u * 500);
  EXPECT_FALSE(exists(dir_.host("tree")));
}

TEST_F(RetryingDelete, TreeGivesUpAfterSixtyAttemptsWithTheLastError) {
  FlakyName flaky(FsOp::DeleteDir, "tree", -1);
  Status s = deleteTreeWithRetries(root_, "tree");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::AccessDenied);  // the 60th attempt's
  EXPECT_EQ(flaky.attempts(), 60);
  EXPECT_EQ(pauses(), 59u);
  EXPECT_EQ(slept(), 59u * 500);
  EXPECT_TRUE(exists(dir_.host("tree/sub/f")));
}

TEST_F(RetryingDelete, TreeTakesAFileAndAMissingNameAtOnce) {
  EXPECT_TRUE(deleteTreeWithRetries(root_, "file").ok());
  EXPECT_FALSE(exists(dir_.host("file")));
  EXPECT_TRUE(deleteTreeWithRetries(root_, "missing").ok());
  EXPECT_EQ(pauses(), 0u);
}

TEST_F(RetryingDelete, FileGivesUpAfterTwentyAttemptsQuarterSecondApart) {
  FlakyName flaky(FsOp::DeleteFile, "file", -1);
  Status s = deleteFileWithRetries(root_, "file");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::AccessDenied);
  EXPECT_EQ(flaky.attempts(), 20);
  EXPECT_EQ(slept(), 19u * 250);
  EXPECT_TRUE(exists(dir_.host("file")));
}

TEST_F(RetryingDelete, FileOutlastsAHolderThatLetsGo) {
  FlakyName flaky(FsOp::DeleteFile, "file", 3);
  ASSERT_TRUE(deleteFileWithRetries(root_, "file").ok());
  EXPECT_EQ(flaky.attempts(), 4);
  EXPECT_EQ(slept(), 3u * 250);
  EXPECT_FALSE(exists(dir_.host("file")));
}

TEST_F(RetryingDelete, FileMissingCountsAsDone) {
  EXPECT_TRUE(deleteFileWithRetries(root_, "missing").ok());
  // A path through something that is no folder (as a replaced parent gives)
  // is gone as well.
  io().setFaultHook([](FsOp op, std::string_view) -> Status {
    return op == FsOp::DeleteFile ? Status(Error::NotDir) : success();
  });
  Status s = deleteFileWithRetries(root_, "file");
  io().setFaultHook(nullptr);
  EXPECT_TRUE(s.ok());
  EXPECT_EQ(pauses(), 0u);
}

TEST_F(RetryingDelete, FileRefusesAFolderAfterItsAttempts) {
  Status s = deleteFileWithRetries(root_, "tree");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::IsDir);
  EXPECT_EQ(pauses(), 19u);
  EXPECT_TRUE(exists(dir_.host("tree/sub/f")));
}

}  // namespace
}  // namespace tl
