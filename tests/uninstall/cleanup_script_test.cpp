#include "uninstall/cleanup_script.h"

#include <gtest/gtest.h>

#include "platform/env.h"

namespace tl {
namespace {

TEST(CleanupScript, TwelveLinesNamingTheTargetThroughTheScriptFolder) {
  Result<std::string> target = cleanupTargetReference("C:\\Users\\J\xC3\xB6rg\\Temp\\tamberlock-uninstall-1f.exe");
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(cleanupScriptText(*target, "C:\\Windows\\System32\\ping.exe"),
            "@echo off\n"
            "setlocal DisableDelayedExpansion\n"
            "set retries=0\n"
            ":retry\n"
            "del /f /q \"%~dp0tamberlock-uninstall-1f.exe\" >nul 2>&1\n"
            "if not exist \"%~dp0tamberlock-uninstall-1f.exe\" goto deleted\n"
            "set /a retries+=1\n"
            "if %retries% GEQ 30 exit /b 1\n"
            "\"C:\\Windows\\System32\\ping.exe\" -n 2 127.0.0.1 >nul\n"
            "goto retry\n"
            ":deleted\n"
            "del /f /q \"%~f0\" >nul 2>&1\n");
}

TEST(CleanupScript, TargetRules) {
  struct Case {
    std::string_view target;
    bool ok;
    std::string_view reference;
  } cases[] = {
      {"C:\\T\\a%b%.exe", true, "\"%~dp0a%%b%%.exe\""},
      {"C:\\T\\x!y.exe", true, "\"%~dp0x!y.exe\""},
      {"C:\\T%\\x.exe", true, "\"%~dp0x.exe\""},
      {"C:\\T\\a\"b.exe", false, ""},
      {"C:\\T\"\\x.exe", false, ""},
      {"C:\\T\\a\nb.exe", false, ""},
      {"C:\\T\r\\x.exe", false, ""},
      {"C:\\T\\\xC3\xA9.exe", false, ""},
      {"C:\\", false, ""},
  };
  for (const Case& c : cases) {
    Result<std::string> ref = cleanupTargetReference(c.target);
    ASSERT_EQ(ref.ok(), c.ok) << c.target;
    if (c.ok) {
      EXPECT_EQ(*ref, c.reference);
    } else {
      EXPECT_EQ(ref.error(), Error::InvalidPath);
    }
  }
}

TEST(CleanupScript, PingReference) {
  env::setForTesting({{"SystemRoot", "C:\\W\xC3\xAFn"}});
  EXPECT_EQ(*cleanupPingReference("C:\\Win%dir%\\System32\\ping.exe"),
            "C:\\Win%%dir%%\\System32\\ping.exe");
  EXPECT_EQ(*cleanupPingReference("c:\\w\xC3\xAFn\\system32\\PING.EXE"),
            "%SystemRoot%\\System32\\ping.exe");
  EXPECT_EQ(cleanupPingReference("C:\\\xC3\xA9lsewhere\\ping.exe").error(), Error::InvalidPath);
  EXPECT_EQ(cleanupPingReference("C:\\W\"\\ping.exe").error(), Error::InvalidPath);
  env::setForTesting({});
  EXPECT_EQ(cleanupPingReference("c:\\w\xC3\xAFn\\system32\\ping.exe").error(), Error::InvalidPath);
}

}  // namespace
}  // namespace tl
