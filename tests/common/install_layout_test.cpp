#include "common/install_layout.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/env.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

class InstallLayoutTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tmp.host("Local/Acme.App/stable"));
    std::filesystem::create_directories(tmp.host("Local/Other.App/stable"));
    std::filesystem::create_directories(tmp.host("Temp"));
    env::setForTesting({{"LOCALAPPDATA", tmp.win("Local")}, {"TEMP", tmp.win("Temp")}});
  }
  void TearDown() override { env::setForTesting({}); }
  test::TempDir tmp;
};

TEST_F(InstallLayoutTest, DerivesTheNinePaths) {
  auto l = resolveInstallLayout(tmp.win("Local\\Acme.App\\stable\\"), "Acme.App", "stable");
  ASSERT_TRUE(l.ok()) << errorName(l.error());
  EXPECT_EQ(l->localAppData, tmp.win("Local"));
  EXPECT_EQ(l->identifierDir, tmp.win("Local\\Acme.App"));
  EXPECT_EQ(l->channelRoot, tmp.win("Local\\Acme.App\\stable"));
  EXPECT_EQ(l->appDir, tmp.win("Local\\Acme.App\\stable\\app"));
  EXPECT_EQ(l->selfExtractionDir, tmp.win("Local\\Acme.App\\stable\\self-extraction"));
  EXPECT_EQ(l->updateScript, tmp.win("Local\\Acme.App\\stable\\update.bat"));
  EXPECT_EQ(l->uninstallManager, tmp.win("Local\\Acme.App\\stable\\uninstall.exe"));
  EXPECT_EQ(l->manifestPath, tmp.win("Local\\Acme.App\\stable\\.tamberlock-uninstall.json"));
  EXPECT_EQ(l->managerSource, tmp.win("Local\\Acme.App\\stable\\app\\Resources\\uninstall"));
}

TEST_F(InstallLayoutTest, Refusals) {
  std::filesystem::create_directories(tmp.host("elsewhere/stable"));
  ::symlink(tmp.host("elsewhere").c_str(), tmp.host("Local/Linked.App").c_str());
  struct {
    std::string root;
    const char* identifier;
    const char* channel;
    Error error;
  } cases[] = {
      {"Local\\Acme.App\\stable", "Acme.App", "stable", Error::InvalidUninstallLocation},  // relative
      {tmp.win("Local\\Other.App\\stable"), "Acme.App", "stable", Error::InvalidUninstallLocation},
      {tmp.win("Local\\Acme.App\\stable"), "Acme.App.", "stable", Error::InvalidUninstallLocation},
      {tmp.win("Local\\Acme.App\\stable"), "Acme.App", "st:able", Error::InvalidUninstallLocation},
      {tmp.win("Local\\Linked.App\\stable"), "Linked.App", "stable", Error::InvalidUninstallLocation},
      {tmp.win("Local\\Acme.App\\missing"), "Acme.App", "missing", Error::FileNotFound},
  };
  for (const auto& c : cases) {
    auto l = resolveInstallLayout(c.root, c.identifier, c.channel);
    ASSERT_FALSE(l.ok()) << c.root;
    EXPECT_EQ(l.error(), c.error) << c.root;
  }
}

TEST_F(InstallLayoutTest, ChannelRootThatIsALinkIsRefused) {
  std::filesystem::create_directories(tmp.host("elsewhere2"));
  ::symlink(tmp.host("elsewhere2").c_str(), tmp.host("Local/Acme.App/canary").c_str());
  auto l = resolveInstallLayout(tmp.win("Local\\Acme.App\\canary"), "Acme.App", "canary");
  ASSERT_FALSE(l.ok());
  EXPECT_EQ(l.error(), Error::InvalidUninstallLocation);
}

TEST_F(InstallLayoutTest, TemporaryFolderFallbacks) {
  env::setForTesting({{"LOCALAPPDATA", "Z:\\L"}, {"TMP", "Z:\\T2"}});
  EXPECT_EQ(*tempDir(), "Z:\\T2");
  env::setForTesting({{"LOCALAPPDATA", "Z:\\L"}});
  EXPECT_EQ(*tempDir(), "Z:\\L\\Temp");
  env::setForTesting({{"USERPROFILE", "Z:\\U"}});
  EXPECT_EQ(*localAppDataRoot(), "Z:\\U\\AppData\\Local");
  env::setForTesting({{"LOCALAPPDATA", ""}});
  EXPECT_EQ(*localAppDataRoot(), "");  // kept as given; callers refuse it
  env::setForTesting({});
  EXPECT_EQ(localAppDataRoot().error(), Error::EnvironmentVariableNotFound);
}

TEST_F(InstallLayoutTest, RequireInTempDir) {
  std::filesystem::create_directories(tmp.host("Temp/sub"));
  for (const char* f : {"Temp/copy.exe", "Temp/sub/copy.exe"}) {
    FILE* fp = std::fopen(tmp.host(f).c_str(), "w");
    std::fclose(fp);
  }
  ::symlink(tmp.host("Temp/copy.exe").c_str(), tmp.host("Temp/link.exe").c_str());
  EXPECT_TRUE(requireInTempDir(tmp.win("Temp\\copy.exe")).ok());
  std::string upper = tmp.win("TEMP\\COPY.EXE");
  EXPECT_TRUE(requireInTempDir(upper).ok());
  EXPECT_EQ(requireInTempDir(tmp.win("Temp\\sub\\copy.exe")).error(), Error::InvalidUninstallLocation);
  EXPECT_EQ(requireInTempDir(tmp.win("Temp\\link.exe")).error(), Error::InvalidUninstallLocation);
  EXPECT_EQ(requireInTempDir(tmp.win("Temp\\missing.exe")).error(), Error::InvalidUninstallLocation);
  EXPECT_EQ(requireInTempDir("copy.exe").error(), Error::InvalidUninstallLocation);
}

TEST(InterruptedWriteNames, OnlyWhatTheManagerCopyAndTheManifestWriterLeave) {
  for (const char* name : {"uninstall.exe.tmp-4242-1", "uninstall.exe.tmp-4294967295-18446744073709551615",
                           ".tamberlock-uninstall.json.tmp-0123456789abcdef"}) {
    EXPECT_TRUE(isInterruptedWriteName(name)) << name;
  }
  const std::string json = ".tamberlock-uninstall.json.tmp-";
  const std::string nearMisses[] = {
      "uninstall.exe", "Uninstall.exe.tmp-1-2", "uninstall.exe.TMP-1-2", "uninstall.exe.tmp-1", "uninstall.exe.tmp--2",
        "uninstall.exe.tmp-1-", "uninstall.exe.tmp-1-2-3", "uninstall.exe.tmp-x-2", "uninstall.exe.tmp-01-2",
        "uninstall.exe.tmp-1-2.old", "uninstall.exe.tmp-123456789012345678901-1", "uninstall.exe.tmp-0123456789abcdef",
        "xuninstall.exe.tmp-1-2", "notes.tmp-1-2", "0123456789abcdef", json + "0123456789ABCDEF",
        json + "0123456789abcde", json + "0123456789abcdef0", json + "0123456789abcdef.x", json + "1-2",
        "notes.json.tmp-0123456789abcdef"};
  for (const std::string& name : nearMisses) {
    EXPECT_FALSE(isInterruptedWriteName(name)) << name;
  }
}

}  // namespace
}  // namespace tl
