#include "windows_integration/shell_shortcuts.h"

#include <gtest/gtest.h>

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

TEST(ShortcutScripts, CreateScriptIsSevenLinesWithQuotedPaths) {
  EXPECT_EQ(createShortcutScript("C:\\D\\O'Neil.lnk", "C:\\a\\bin\\launcher.exe", "C:\\a\\bin",
                                 "C:\\a\\bin\\launcher.exe"),
            "$WshShell = New-Object -ComObject WScript.Shell\n"
            "$Shortcut = $WshShell.CreateShortcut('C:\\D\\O''Neil.lnk')\n"
            "$Shortcut.TargetPath = 'C:\\a\\bin\\launcher.exe'\n"
            "$Shortcut.WorkingDirectory = 'C:\\a\\bin'\n"
            "$Shortcut.IconLocation = 'C:\\a\\bin\\launcher.exe'\n"
            "$Shortcut.WindowStyle = 1\n"
            "$Shortcut.Save()\n");
}

TEST(ShortcutScripts, RemoveScriptIsElevenLines) {
  EXPECT_EQ(removeShortcutScript("C:\\D\\x.lnk", "C:\\it's\\launcher.exe"),
            "$ErrorActionPreference = 'Stop'\n"
            "if (-not (Test-Path -LiteralPath 'C:\\D\\x.lnk' -PathType Leaf)) { exit 0 }\n"
            "$WshShell = New-Object -ComObject WScript.Shell\n"
            "$Target = $WshShell.CreateShortcut('C:\\D\\x.lnk').TargetPath\n"
            "if ([String]::IsNullOrWhiteSpace($Target)) { exit 0 }\n"
            "$Target = [Environment]::ExpandEnvironmentVariables($Target)\n"
            "$Actual = [IO.Path]::GetFullPath($Target)\n"
            "$Expected = [IO.Path]::GetFullPath('C:\\it''s\\launcher.exe')\n"
            "if ([String]::Equals($Actual, $Expected, [StringComparison]::OrdinalIgnoreCase)) {\n"
            "    Remove-Item -LiteralPath 'C:\\D\\x.lnk' -Force\n"
            "}\n");
}

}  // namespace
}  // namespace tl
