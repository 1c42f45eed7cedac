#include "windows_integration/manager_install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

class ManagerInstall : public testing::Test {
 protected:
  void SetUp() override {
    box_.makeApp("org.x", "stable");
    Result<InstallLayout> l = resolveInstallLayout(box_.win(rel("")), "org.x", "stable");
    ASSERT_TRUE(l.ok()) << errorName(l.error());
    layout_ = l.take();
  }
  std::string rel(std::string_view r) const {
    return box_.userRel("AppData/Local/org.x/stable" + std::string(r.empty() ? "" : "/") + std::string(r));
  }
  void replaceWithLink(std::string_view relPath, const std::string& hostTarget) const {
    std::string h = box_.host(rel(relPath));
    std::string cmd = "rm -rf '" + h + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_EQ(::symlink(hostTarget.c_str(), h.c_str()), 0);
  }

  test::IntegrationSandbox box_;
  InstallLayout layout_;
};

TEST_F(ManagerInstall, AttestsAPlainBundleAndCopiesTheManager) {
  ASSERT_TRUE(openChannelRoot(layout_, "org.x").ok());
  ASSERT_TRUE(attestBundledManager(layout_).ok());
  ASSERT_TRUE(copyFileReplacing(layout_.managerSource, layout_.uninstallManager).ok());
  EXPECT_EQ(box_.readFile(rel("uninstall.exe")), "manager bytes");
  box_.writeFile(rel("app/Resources/uninstall"), "newer manager");
  ASSERT_TRUE(copyFileReplacing(layout_.managerSource, layout_.uninstallManager).ok());
  EXPECT_EQ(box_.readFile(rel("uninstall.exe")), "newer manager");
}

TEST_F(ManagerInstall, RefusesLinksAndMisplacedParts) {
  // A manager that is a link to a valid executable.
  replaceWithLink("app/Resources/uninstall", box_.host(rel("app/bin/launcher.exe")));
  EXPECT_EQ(attestBundledManager(layout_).error(), Error::InvalidUninstallManager);

  // A Resources folder that leads into another bundle.
  box_.makeApp("org.x", "canary");
  replaceWithLink("app/Resources", box_.host(box_.userRel("AppData/Local/org.x/canary/app/Resources")));
  EXPECT_EQ(attestBundledManager(layout_).error(), Error::InvalidUninstallLocation);

  // A missing manager.
  ::unlink(box_.host(rel("app/Resources")).c_str());
  box_.makeDirs(rel("app/Resources"));
  EXPECT_EQ(attestBundledManager(layout_).error(), Error::InvalidUninstallManager);

  // An application folder that is missing: the stat's own error.
  ASSERT_EQ(std::system(("rm -rf '" + box_.host(rel("app")) + "'").c_str()), 0);
  EXPECT_EQ(attestBundledManager(layout_).error(), Error::FileNotFound);
}

TEST_F(ManagerInstall, ChannelRootMustBeAPlainFolderChain) {
  InstallLayout other = layout_;
  other.channelRoot = box_.win(box_.userRel("AppData/Local/org.x/beta"));
  EXPECT_EQ(openChannelRoot(other, "org.x").error(), Error::FileNotFound);
  EXPECT_EQ(openChannelRoot(layout_, "org.y").error(), Error::FileNotFound);

  box_.makeDirs(box_.userRel("Elsewhere"));
  ::symlink(box_.host(box_.userRel("Elsewhere")).c_str(), box_.host(box_.userRel("AppData/Local/org.x/beta")).c_str());
  EXPECT_EQ(openChannelRoot(other, "org.x").error(), Error::InvalidUninstallLocation);
  box_.writeFile(box_.userRel("AppData/Local/org.z"), "a file");
  EXPECT_EQ(openChannelRoot(layout_, "org.z").error(), Error::InvalidUninstallLocation);
}

TEST_F(ManagerInstall, FailedCopyKeepsTheOldManager) {
  box_.writeFile(rel("uninstall.exe"), "old");
  EXPECT_EQ(copyFileReplacing(layout_.managerSource + "-missing", layout_.uninstallManager).error(),
            Error::WindowsManagerCopyFailed);
  EXPECT_EQ(box_.readFile(rel("uninstall.exe")), "old");
  box_.makeDirs(rel("folder.exe"));
  EXPECT_EQ(copyFileReplacing(layout_.managerSource, box_.win(rel("folder.exe"))).error(),
            Error::WindowsManagerCopyFailed);
  EXPECT_EQ(copyFileReplacing(layout_.managerSource, "C:\\\xED\xA0\x80\xED\xB0\x80").error(), Error::InvalidWtf8);
}

}  // namespace
}  // namespace tl
