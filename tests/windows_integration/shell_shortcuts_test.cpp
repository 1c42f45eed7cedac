#include "windows_integration/shell_shortcuts.h"

#include <unistd.h>

#include <fstream>
#include <gtest/gtest.h>

#include "windows_integration/integration_sandbox.h"

namespace tl {
namespace {

TEST(ShortcutNames, DisplayAndFileNames) {
  struct Case {
    std::string_view name, channel, display, file;
  } cases[] = {
      {"My App", "stable", "My App", "My App.lnk"},
      {"My App", "canary", "My App (Canary)", "My App (Canary).lnk"},
      {"Tools: A|B", "dev", "Tools: A|B (Development)", "Tools_ A_B (Development).lnk"},
      {"A/B", "stable", "A/B", "A_B.lnk"},
      {"x", "beta", "x (beta)", "x (beta).lnk"},
      {". . .", "stable", ". . .", "Application.lnk"},
      {"Trail. ", "stable", "Trail. ", "Trail.lnk"},
      {"q\"*<>?\\\x01\x7f\xC3\xA9", "stable", "q\"*<>?\\\x01\x7f\xC3\xA9", "q_______\x7f\xC3\xA9.lnk"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(channelDisplayName(c.name, c.channel), c.display) << c.name;
    EXPECT_EQ(shortcutFileName(c.name, c.channel), c.file) << c.name;
  }
}

// Against the stand-in PowerShell.
class ShellShortcuts : public testing::Test {
 protected:
  ShellShortcuts() {
    box_.makeDirs(box_.userRel("Desktop"));
    box_.makeDirs(box_.userRel("AppData/Roaming/Microsoft/Windows/Start Menu/Programs"));
  }
  std::string desktopLink(std::string_view file) const { return box_.desktopDir() + "\\" + std::string(file); }
  std::string startLink(std::string_view file) const { return box_.startMenuDir() + "\\" + std::string(file); }
  static std::string hostOf(const std::string& win) {
    std::string host = win.substr(2);
    for (char& c : host) c = c == '\\' ? '/' : c;
    return host;
  }
  bool exists(const std::string& win) const { return ::access(hostOf(win).c_str(), F_OK) == 0; }
  void writeShortcut(const std::string& link, const std::string& target) const {
    std::ofstream(hostOf(link)) << "[TamberlockStandInShortcut]\nTargetPath=" << target << "\n";
  }
  std::size_t powershellRuns() const {
    std::size_t n = 0;
    for (const std::string& c : box_.calls()) n += c.rfind("[\"powershell.exe\"", 0) == 0;
    return n;
  }
  void writeManifest(std::string_view json) const { box_.writeFile("manifest.json", json); }
  // The places borrow their texts: keep them alive for the call.
  ShortcutPlaces places(std::string_view newName) {
    texts_ = {box_.desktopDir(), box_.startMenuDir(), desktopLink(newName), startLink(newName)};
    return ShortcutPlaces{texts_[0], texts_[1], texts_[2], texts_[3], launcher_};
  }
  Status removePrevious(std::string_view identifier = "org.x", std::string_view channel = "stable") {
    return removePreviousShortcuts(box_.win("manifest.json"), identifier, channel, places("New.lnk"));
  }

  test::IntegrationSandbox box_;
  std::string launcher_ = box_.localAppData() + "\\org.x\\stable\\app\\bin\\launcher.exe";
  std::vector<std::string> texts_;
};

TEST_F(ShellShortcuts, FoldersFromPowerShellTrimmedOrFromTheEnvironment) {
  EXPECT_EQ(*desktopDir(), box_.desktopDir());  // the answer ends in CR LF
  EXPECT_EQ(*startMenuProgramsDir(), box_.startMenuDir());

  box_.writeState("shell-folders", "DesktopDirectory=Desktop\nPrograms= \t Z:\\Start\\Programs \t\n");
  EXPECT_EQ(queryShellFolder("DesktopDirectory").error(), Error::KnownFolderLookupFailed);
  EXPECT_EQ(*desktopDir(), box_.win(box_.userRel("Desktop")));
  EXPECT_EQ(*startMenuProgramsDir(), "Z:\\Start\\Programs");

  box_.addFault("powershell.exe * => exit 1");
  EXPECT_EQ(queryShellFolder("Programs").error(), Error::KnownFolderLookupFailed);
  box_.setEnv("APPDATA", "C:\\Roaming");
  EXPECT_EQ(*startMenuProgramsDir(), "C:\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs");
  box_.setEnv("USERPROFILE", "C:\\Users\\u");
  EXPECT_EQ(*desktopDir(), "C:\\Users\\u\\Desktop");
  env::setVar("APPDATA", std::nullopt);
  EXPECT_EQ(*startMenuProgramsDir(), "C:\\Users\\u\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs");
  env::setVar("USERPROFILE", std::nullopt);
  EXPECT_EQ(desktopDir().error(), Error::EnvironmentVariableNotFound);
  EXPECT_EQ(startMenuProgramsDir().error(), Error::EnvironmentVariableNotFound);
}

TEST_F(ShellShortcuts, RemovesOnlyShortcutsThatPointAtTheLauncher) {
  std::string viaVariable = desktopLink("Var.lnk");
  writeShortcut(viaVariable, "%LOCALAPPDATA%\\org.x\\stable\\app\\bin\\..\\bin\\LAUNCHER.exe");
  std::string elsewhere = desktopLink("Other.lnk");
  writeShortcut(elsewhere, "C:\\Other\\launcher.exe");
  std::string folder = desktopLink("Folder.lnk");
  box_.makeDirs(box_.userRel("Desktop/Folder.lnk"));
  std::string garbage = desktopLink("Garbage.lnk");
  std::ofstream(hostOf(garbage)) << "not a shortcut";

  EXPECT_TRUE(removeShortcutIfTargetMatches(viaVariable, launcher_).ok());
  EXPECT_FALSE(exists(viaVariable));
  EXPECT_TRUE(removeShortcutIfTargetMatches(elsewhere, launcher_).ok());
  EXPECT_TRUE(exists(elsewhere));
  EXPECT_TRUE(removeShortcutIfTargetMatches(folder, launcher_).ok());
  EXPECT_TRUE(exists(folder));
  EXPECT_TRUE(removeShortcutIfTargetMatches(desktopLink("Missing.lnk"), launcher_).ok());
  // Not a shortcut, so not ours: left alone, and the removal is done.
  EXPECT_TRUE(removeShortcutIfTargetMatches(garbage, launcher_).ok());
  EXPECT_TRUE(exists(garbage));
}

TEST_F(ShellShortcuts, PreviousShortcutsByFileNameInTheCurrentFolders) {
  std::string oldDesktop = desktopLink("Old.lnk");
  std::string oldStart = startLink("Old.lnk");
  writeShortcut(oldDesktop, launcher_);
  writeShortcut(oldStart, launcher_);
  // Recorded in other folders: only the file names count.
  std::string manifest =
      "{\"identifier\":\"ORG.X\",\"extra\":[1],\"channel\":\"stable\","
      "\"desktop_shortcut\":\"C:\\\\Elsewhere\\\\Old.lnk\",\"start_menu_shortcut\":\"D:\\\\Old.lnk\"}";
  writeManifest(manifest);
  ASSERT_TRUE(removePrevious("org.x", "canary").ok());  // another channel: not ours
  ASSERT_TRUE(removePrevious("org.y").ok());            // another identifier
  EXPECT_EQ(powershellRuns(), 0u);
  EXPECT_TRUE(exists(oldDesktop));
  ASSERT_TRUE(removePrevious().ok());
  EXPECT_FALSE(exists(oldDesktop));
  EXPECT_FALSE(exists(oldStart));

  // A recorded desktop shortcut that is no .lnk is skipped; the Start-menu
  // one is still handled.
  writeShortcut(oldStart, launcher_);
  box_.writeFile(box_.userRel("Desktop/Old.txt"), "x");
  writeManifest("{\"identifier\":\"org.x\",\"channel\":\"stable\",\"desktop_shortcut\":\"C:\\\\Old.txt\","
                "\"start_menu_shortcut\":\"C:\\\\Old.lnk\"}");
  box_.clearCalls();
  ASSERT_TRUE(removePrevious().ok());
  EXPECT_EQ(powershellRuns(), 1u);
  EXPECT_FALSE(exists(oldStart));

  // The recorded names equal the new ones: nothing to remove.
  writeManifest("{\"identifier\":\"org.x\",\"channel\":\"stable\",\"desktop_shortcut\":\"C:\\\\new.LNK\","
                "\"start_menu_shortcut\":\"C:\\\\New.lnk\"}");
  box_.clearCalls();
  ASSERT_TRUE(removePrevious().ok());
  EXPECT_EQ(powershellRuns(), 0u);
}

TEST_F(ShellShortcuts, PreviousManifestReadErrors) {
  EXPECT_TRUE(removePrevious().ok());  // none there
  writeManifest("{\"identifier\":\"org.x\",\"channel\":\"stable\",\"desktop_shortcut\":\"C:\\\\a.lnk\"}");
  EXPECT_EQ(removePrevious().error(), Error::MissingField);
  writeManifest("{\"identifier\":\"org.x\",\"identifier\":\"org.x\"}");
  EXPECT_EQ(removePrevious().error(), Error::DuplicateField);
  writeManifest("{\"identifier\":1}");
  EXPECT_EQ(removePrevious().error(), Error::UnexpectedToken);
  writeManifest(std::string(65537, ' '));
  EXPECT_EQ(removePrevious().error(), Error::StreamTooLong);
}

TEST_F(ShellShortcuts, LegacyShortcutsOnlyOffTheStableChannel) {
  writeShortcut(desktopLink("App.lnk"), launcher_);
  ASSERT_TRUE(removeLegacyShortcuts("App", places("App.lnk")).ok());
  EXPECT_EQ(powershellRuns(), 0u);
  EXPECT_TRUE(exists(desktopLink("App.lnk")));

  ASSERT_TRUE(removeLegacyShortcuts("App", places("App (Development).lnk")).ok());
  EXPECT_EQ(powershellRuns(), 2u);
  EXPECT_FALSE(exists(desktopLink("App.lnk")));
}

}  // namespace
}  // namespace tl
