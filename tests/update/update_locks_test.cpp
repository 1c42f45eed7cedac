#include "update/update_locks.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tl {
namespace {

// Helpers of one transaction exclude each other outright; one of another
// transaction is told that the installation is being applied. A swap's
// record outlives its holder, as a killed helper leaves it.
TEST(ApplyLock, OneHelperATransactionOneApplyingAnInstallation) {
  test::TempDir dir;
  const fs::Dir root = fs::openDir(dir.path()).take();
  const std::string a(32, 'a');
  {
    Result<ApplyLock> first = takeApplyLock(root, a);
    ASSERT_TRUE(first && first->applying());
    EXPECT_EQ(takeApplyLock(root, a).error(), Error::UpdateApplicationBusy);
    Result<ApplyLock> other = takeApplyLock(root, std::string(32, 'c'));
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->applying());
    EXPECT_FALSE(first->swapUnsettled().value());
    ASSERT_TRUE(first->recordSwap(a).ok());
  }
  Result<ApplyLock> next = takeApplyLock(root, std::string(32, 'c'));
  ASSERT_TRUE(next && next->applying());
  EXPECT_TRUE(next->swapUnsettled().value());
  ASSERT_TRUE(next->settleSwap().ok());
  EXPECT_FALSE(next->swapUnsettled().value());
}

}  // namespace
}  // namespace tl
