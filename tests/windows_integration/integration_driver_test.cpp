// The integration driver against the stand-in tools in a sandbox.
#include "windows_integration/integration_driver.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/diagnostics.h"
#include "common/install_mutex.h"
#include "platform/named_mutex.h"
#include "windows_integration/integration_sandbox.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {
namespace {

constexpr const char* kId = "com.example.app";
constexpr const char* kKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.example.app.stable";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

std::vector<std::string> linesStartingWith(const std::string& text, std::string_view prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines(text)) {
    if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
  }
  return out;
}

// A stand-in shortcut file as WScript.Shell would have saved it.
std::string shortcutFile(const std::string& target) {
  return "[TamberlockStandInShortcut]\nTargetPath=" + target +
         "\nArguments=\nWorkingDirectory=\nIconLocation=\nWindowStyle=1\nDescription=\nHotkey=\n";
}

class IntegrationDriver : public testing::Test {
 protected:
  void SetUp() override { app_ = box_.makeApp(kId, "stable"); }
  void TearDown() override { setBootstrapTrace(false); }

  std::string channelRel(const std::string& folder = "stable") const {
    return box_.userRel("AppData/Local/" + std::string(kId) + "/" + folder);
  }
  std::string desktopRel(const std::string& file) const { return box_.userRel("Desktop/" + file); }
  std::string startRel(const std::string& file) const {
    return box_.userRel("AppData/Roaming/Microsoft/Windows/Start Menu/Programs/" + file);
  }
  std::string launcher(const std::string& folder = "stable") const {
    return box_.win(channelRel(folder) + "/app/bin/launcher.exe");
  }

  Status integrate(std::string_view name = "Example App", std::string_view channel = "stable",
                   std::optional<std::string_view> rootName = std::nullopt) {
    IntegrationIdentity id{kId, name, channel, std::nullopt, rootName};
    return integrateWindows(app_, id);
  }

  UninstallManifest manifest(const std::string& folder = "stable") const {
    Result<UninstallManifest> m =
        parseUninstallManifestJson(box_.readFile(channelRel(folder) + "/.tamberlock-uninstall.json"));
    EXPECT_TRUE(m.ok());
    return m.ok() ? m.take() : UninstallManifest{};
  }

  test::IntegrationSandbox box_;
  std::string app_;
};

TEST_F(IntegrationDriver, IntegratesAnUnpackedApplication) {
  setBootstrapTrace(true);
  testing::internal::CaptureStderr();
  Status s = integrate();
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s.ok()) << errorName(s.error()) << "\n" << err;

  EXPECT_EQ(box_.readFile(channelRel() + "/uninstall.exe"), "manager bytes");

  // The manifest, byte for byte, with a fresh lowercase nonce.
  UninstallManifest m = manifest();
  EXPECT_EQ(m.install_nonce.size(), 32u);
  EXPECT_EQ(m.install_nonce.find_first_not_of("0123456789abcdef"), std::string::npos);
  UninstallManifest expected;
  expected.install_nonce = m.install_nonce;
  expected.identifier = kId;
  expected.name = "Example App";
  expected.channel = "stable";
  expected.desktop_shortcut = box_.win(desktopRel("Example App.lnk"));
  expected.start_menu_shortcut = box_.win(startRel("Example App.lnk"));
  expected.install_root_name = "stable";
  expected.data_path_versions = std::vector<std::uint32_t>{1};
  EXPECT_EQ(box_.readFile(channelRel() + "/.tamberlock-uninstall.json"), serializeUninstallManifest(expected));
  // And the full reader accepts what the integration wrote.
  EXPECT_TRUE(readUninstallManifest(box_.win(channelRel() + "/.tamberlock-uninstall.json"),
                                    box_.win(channelRel()))
                  .ok());

  // Both shortcuts point at bin\launcher.exe.
  std::string bin = box_.win(channelRel() + "/app/bin");
  std::string lnk = "[TamberlockStandInShortcut]\nTargetPath=" + launcher() + "\nArguments=\nWorkingDirectory=" +
                    bin + "\nIconLocation=" + launcher() + "\nWindowStyle=1\nDescription=\nHotkey=\n";
  EXPECT_EQ(box_.readFile(desktopRel("Example App.lnk")), lnk);
  EXPECT_EQ(box_.readFile(startRel("Example App.lnk")), lnk);

  // The eight values as reg.exe shows them.
  std::string manager = box_.win(channelRel() + "/uninstall.exe");
  std::string query = box_.regQuery(kKey);
  const std::string values[] = {
      "    DisplayName    REG_SZ    Example App\r",
      "    DisplayVersion    REG_SZ    1.2.3\r",
      "    DisplayIcon    REG_SZ    \"" + launcher() + "\",0\r",
      "    InstallLocation    REG_SZ    " + app_ + "\r",
      "    UninstallString    REG_SZ    \"" + manager + "\" --uninstall\r",
      "    QuietUninstallString    REG_SZ    \"" + manager + "\" --uninstall --quiet\r",
      "    NoModify    REG_DWORD    0x1\r",
      "    NoRepair    REG_DWORD    0x1\r",
  };
  std::vector<std::string> shown = lines(query);
  ASSERT_EQ(shown.size(), 11u) << query;
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(shown[i + 2], values[i]);
  EXPECT_EQ(shown[10], "\r");

  // Every step traced, in order, and the three lines of what was done.
  std::vector<std::string> traced = linesStartingWith(err, "Bootstrap trace: ");
  ASSERT_EQ(traced.size(), 16u) << err;
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(traced[static_cast<std::size_t>(i)], integrationStepText(static_cast<IntegrationStep>(i)));
  }
  EXPECT_EQ(linesStartingWith(err, "Created Windows shortcut: "),
            (std::vector<std::string>{expected.desktop_shortcut, expected.start_menu_shortcut}));
  EXPECT_EQ(linesStartingWith(err, "Registered Windows uninstaller: "),
            std::vector<std::string>{kKey});
}

TEST_F(IntegrationDriver, ReintegratingRenewsTheNonceAndKeepsTheShortcuts) {
  ASSERT_TRUE(integrate().ok());
  std::string first = manifest().install_nonce;
  std::string desktopLink = box_.readFile(desktopRel("Example App.lnk"));
  box_.clearCalls();
  testing::internal::CaptureStderr();
  ASSERT_TRUE(integrate().ok());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(manifest().install_nonce, first);
  EXPECT_EQ(box_.readFile(desktopRel("Example App.lnk")), desktopLink);
  EXPECT_TRUE(box_.exists(startRel("Example App.lnk")));
  EXPECT_EQ(err.find("Warning"), std::string::npos) << err;
  // The previous names equal the new ones: no removal script ran.
  for (const std::string& call : box_.calls()) EXPECT_EQ(call.find("Remove-Item"), std::string::npos) << call;
}

TEST_F(IntegrationDriver, FailingRegAddRemovesOnlyAKeyThisRunCreated) {
  box_.addFault("reg.exe add * /v InstallLocation * => exit 1");
  testing::internal::CaptureStderr();
  Status s = integrate();
  testing::internal::GetCapturedStderr();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), Error::WindowsCommandFailed);
  EXPECT_EQ(box_.regQuery(kKey), "");  // removed again
  EXPECT_FALSE(box_.exists(desktopRel("Example App.lnk")));
  EXPECT_FALSE(box_.exists(startRel("Example App.lnk")));
  // Nothing else is rolled back.
  EXPECT_TRUE(box_.exists(channelRel() + "/.tamberlock-uninstall.json"));
  EXPECT_TRUE(box_.exists(channelRel() + "/uninstall.exe"));
  EXPECT_EQ(currentBootstrapStep(), "windows integration: register uninstall entry");

  // A key that existed before keeps what was written up to the failure.
  std::string reg = box_.win("Windows\\System32\\reg.exe");
  box_.runTool({reg, "add", kKey, "/v", "Custom", "/t", "REG_SZ", "/d", "kept", "/f", "/reg:64"});
  testing::internal::CaptureStderr();
  s = integrate();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.error(), Error::WindowsCommandFailed);
  std::string query = box_.regQuery(kKey);
  EXPECT_NE(query.find("    Custom    REG_SZ    kept\r\n"), std::string::npos) << query;
  EXPECT_NE(query.find("    DisplayIcon    REG_SZ    "), std::string::npos) << query;
  EXPECT_EQ(query.find("InstallLocation"), std::string::npos) << query;
}

TEST_F(IntegrationDriver, FailedRegistryCleanupIsOnlyAWarning) {
  box_.addFault("reg.exe add * /v DisplayName * => exit 1");
  box_.addFault("reg.exe delete * => exit 1");
  testing::internal::CaptureStderr();
  Status s = integrate();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.error(), Error::WindowsCommandFailed);
  EXPECT_NE(err.find("Warning: Could not clean up incomplete Windows uninstaller registration: " +
                     std::string(kKey) + "\n"),
            std::string::npos)
      << err;
}

TEST_F(IntegrationDriver, FailingShortcutRemovesBothLinksEvenOnesThatExisted) {
  ASSERT_TRUE(integrate().ok());
  // The Start-menu shortcut fails: the desktop one, just rewritten, goes too.
  box_.addFault("powershell.exe * \"*CreateShortcut('*Start Menu*$Shortcut.Save()*\" => exit 1");
  testing::internal::CaptureStderr();
  Status s = integrate();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(s.error(), Error::WindowsCommandFailed);
  EXPECT_EQ(currentBootstrapStep(), "windows integration: write shortcuts");
  EXPECT_FALSE(box_.exists(desktopRel("Example App.lnk")));
  EXPECT_FALSE(box_.exists(startRel("Example App.lnk")));
  EXPECT_TRUE(box_.exists(channelRel() + "/.tamberlock-uninstall.json"));
}

TEST_F(IntegrationDriver, CanaryRemovesTheStableNamedShortcutOnlyWhenItIsOurs) {
  app_ = box_.makeApp(kId, "canary");
  box_.makeDirs(box_.userRel("Desktop"));
  box_.makeDirs(box_.userRel("AppData/Roaming/Microsoft/Windows/Start Menu/Programs"));
  box_.writeFile(desktopRel("Example App.lnk"), shortcutFile(launcher("canary")));
  box_.writeFile(startRel("Example App.lnk"), shortcutFile(launcher("stable")));
  testing::internal::CaptureStderr();
  Status s = integrate("Example App", "canary");
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s.ok()) << errorName(s.error()) << err;
  EXPECT_FALSE(box_.exists(desktopRel("Example App.lnk")));
  EXPECT_TRUE(box_.exists(startRel("Example App.lnk")));
  EXPECT_TRUE(box_.exists(desktopRel("Example App (Canary).lnk")));
  EXPECT_TRUE(box_.exists(startRel("Example App (Canary).lnk")));
  std::string canaryKey = kKey;
  canaryKey.replace(canaryKey.size() - 6, 6, "canary");
  EXPECT_NE(box_.regQuery(canaryKey)
                .find("    DisplayName    REG_SZ    Example App (Canary)\r\n"),
            std::string::npos);
}

TEST_F(IntegrationDriver, RenamedApplicationRemovesItsOldShortcuts) {
  ASSERT_TRUE(integrate("Old Name").ok());
  box_.writeFile(startRel("Old Name.lnk"), shortcutFile("C:\\Other\\program.exe"));
  testing::internal::CaptureStderr();
  ASSERT_TRUE(integrate("New Name").ok());
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(box_.exists(desktopRel("Old Name.lnk")));
  EXPECT_TRUE(box_.exists(startRel("Old Name.lnk")));  // points elsewhere now
  EXPECT_TRUE(box_.exists(desktopRel("New Name.lnk")));
}

TEST_F(IntegrationDriver, UnreadablePreviousManifestIsOnlyAWarning) {
  box_.writeFile(channelRel() + "/.tamberlock-uninstall.json", "{not json");
  testing::internal::CaptureStderr();
  Status s = integrate();
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s.ok()) << errorName(s.error());
  EXPECT_NE(err.find("Warning: Could not remove previous Windows shortcuts: error."), std::string::npos) << err;
}

TEST_F(IntegrationDriver, TypographicApostropheInTheName) {
  const std::string name = "Bob\xE2\x80\x99s 'App'";
  testing::internal::CaptureStderr();
  Status s = integrate(name, "stable", "stable");
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s.ok()) << errorName(s.error()) << err;
  EXPECT_EQ(box_.readFile(desktopRel(name + ".lnk")).find("TargetPath=" + launcher() + "\n"),
            std::string("[TamberlockStandInShortcut]\n").size());
  EXPECT_TRUE(box_.exists(startRel(name + ".lnk")));
  EXPECT_EQ(manifest().name, name);
  // A second run finds and keeps them through the removal scripts too.
  testing::internal::CaptureStderr();
  ASSERT_TRUE(integrate(name, "stable", "stable").ok());
  testing::internal::GetCapturedStderr();
}

TEST_F(IntegrationDriver, RefusesBeforeTakingTheLock) {
  struct Case {
    std::string name, channel, appDir;
    Error error;
  } cases[] = {
      {"Example", "beta", app_, Error::InvalidInstallIdentity},
      {"", "stable", app_, Error::InvalidInstallIdentity},
      {std::string(241, 'x'), "stable", app_, Error::InvalidInstallIdentity},
      {"Tab\tName", "stable", app_, Error::InvalidInstallIdentity},
      {"Example", "stable", "app", Error::InvalidInstallLocation},
      {"Example", "canary", app_, Error::InvalidInstallLocation},  // root folder named stable
      {"Example", "stable", box_.win(channelRel() + "/application"), Error::InvalidInstallLocation},
      {"Example", "stable", box_.win(box_.userRel("Elsewhere/stable/app")), Error::InvalidUninstallLocation},
  };
  for (const Case& c : cases) {
    IntegrationIdentity id{kId, c.name, c.channel, std::nullopt, std::nullopt};
    Status s = integrateWindows(c.appDir, id);
    ASSERT_FALSE(s.ok()) << c.appDir;
    EXPECT_EQ(s.error(), c.error) << c.name << " " << c.appDir << ": " << errorName(s.error());
  }
  IntegrationIdentity badId{"a:b", "Example", "stable", std::nullopt, std::nullopt};
  EXPECT_EQ(integrateWindows(app_, badId).error(), Error::InvalidInstallIdentity);
  EXPECT_TRUE(box_.calls().empty());
}

TEST_F(IntegrationDriver, MissingLauncherStopsAfterTheLockWithNothingWritten) {
  ::unlink(box_.host(channelRel() + "/app/bin/launcher.exe").c_str());
  Status s = integrate();
  EXPECT_EQ(s.error(), Error::FileNotFound);
  EXPECT_EQ(currentBootstrapStep(), "windows integration: validate launcher");
  EXPECT_FALSE(box_.exists(channelRel() + "/uninstall.exe"));
  EXPECT_FALSE(box_.exists(channelRel() + "/.tamberlock-uninstall.json"));
  EXPECT_TRUE(box_.calls().empty());
  // The lock was given back.
  std::thread other([&] { EXPECT_TRUE(acquireInstallMutex(box_.win(channelRel()), 0).ok()); });
  other.join();
}

TEST_F(IntegrationDriver, ManagerThatIsALinkIsRefused) {
  std::string source = box_.host(channelRel() + "/app/Resources/uninstall");
  ::unlink(source.c_str());
  ASSERT_EQ(::symlink(box_.host(channelRel() + "/app/bin/launcher.exe").c_str(), source.c_str()), 0);
  EXPECT_EQ(integrate().error(), Error::InvalidUninstallManager);
  EXPECT_FALSE(box_.exists(channelRel() + "/uninstall.exe"));
}

TEST_F(IntegrationDriver, TakesTheLockAgainOnTheThreadThatHoldsIt) {
  Result<InstallLock> held = acquireInstallMutex(box_.win(channelRel()), platform::kInfinite);
  ASSERT_TRUE(held.ok());
  testing::internal::CaptureStderr();
  Status s = integrate();
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s.ok()) << errorName(s.error());
  // Still held by this thread after the integration gave back its own turn.
  std::thread other([&] {
    EXPECT_EQ(acquireInstallMutex(box_.win(channelRel()), 0).error(), Error::InstallationAlreadyInProgress);
  });
  other.join();
}

}  // namespace
}  // namespace tl
