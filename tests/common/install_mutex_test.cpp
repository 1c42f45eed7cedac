#include "common/install_mutex.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/temp_dir.h"

namespace tl {
namespace {

TEST(InstallMutex, NameIgnoresCaseAndDotParts) {
  auto a = installMutexName("Z:\\Users\\Me\\AppData\\Local\\Acme\\stable");
  auto b = installMutexName("z:\\users\\me\\appdata\\local\\ACME\\x\\..\\stable\\");
  auto c = installMutexName("Z:\\Users\\Me\\AppData\\Local\\Acme\\canary");
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
  EXPECT_EQ(a->size(), 26u + 32u);
  EXPECT_EQ(a->rfind("Local\\TamberlockUninstall_", 0), 0u);
}

TEST(InstallMutex, TryOnceWhileAnotherThreadHoldsIt) {
  // A lock folder of its own: test runs of other build folders may hold the
  // mutex of the same root at the same moment.
  test::TempDir locks;
  platform::setMutexFolderParentForTesting(locks.hostPath());
  const std::string root = "Z:\\tmp\\tl-mutex-test\\stable";
  auto held = acquireInstallMutex(root, platform::kInfinite);
  ASSERT_TRUE(held.ok());
  // Re-entrant on the owning thread.
  auto again = acquireInstallMutex(root, 0);
  ASSERT_TRUE(again.ok());
  again->release();
  Error seen = Error::Unexpected;
  std::thread other([&] {
    auto r = acquireInstallMutex(root, 0);
    seen = r.ok() ? Error::Unexpected : r.error();
  });
  other.join();
  EXPECT_EQ(seen, Error::InstallationAlreadyInProgress);
  held->release();
  bool gotIt = false;
  std::thread after([&] { gotIt = acquireInstallMutex(root, 0).ok(); });
  after.join();
  EXPECT_TRUE(gotIt);
  platform::setMutexFolderParentForTesting("");
}

}  // namespace
}  // namespace tl
