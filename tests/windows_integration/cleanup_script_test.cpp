#include "windows_integration/cleanup_script.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/env.h"
#include "platform/io_context.h"
#include "support/eventually.h"
#include "windows_integration/integration_sandbox.h"

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

TEST(CleanupScript, ScriptArgumentOnADriveOrAShare) {
  struct Case {
    std::string_view folder;
    std::string_view argument;  // empty: InvalidPath
  } cases[] = {
      {"C:\\Users\\A&B (Work) 100%\\Temp", ".\\tamberlock-cleanup-1f.cmd"},
      {"\\Temp", ".\\tamberlock-cleanup-1f.cmd"},
      // On a share cmd.exe falls back to the Windows folder: the full path.
      {"\\\\server\\share\\Temp", "\\\\server\\share\\Temp\\tamberlock-cleanup-1f.cmd"},
      {"//server/share/My Temp/", "\\\\server\\share\\My Temp\\tamberlock-cleanup-1f.cmd"},
      {"\\\\?\\UNC\\server\\share", "\\\\?\\UNC\\server\\share\\tamberlock-cleanup-1f.cmd"},
      {"\\\\server\\share\\A&B", ""},
      {"\\\\server\\share\\100%", ""},
      {"\\\\server\\share\\a,b", ""},
  };
  for (const Case& c : cases) {
    Result<std::string> arg = cleanupScriptArgument(c.folder, "tamberlock-cleanup-1f.cmd");
    if (c.argument.empty()) {
      EXPECT_EQ(arg.error(), Error::InvalidPath) << c.folder;
    } else {
      ASSERT_TRUE(arg.ok()) << c.folder;
      EXPECT_EQ(*arg, c.argument);
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
  env::setForTesting({{"SystemRoot", "C:\\W\"\xC3\xAFn"}});
  EXPECT_EQ(cleanupPingReference("C:\\W\"\xC3\xAFn\\System32\\ping.exe").error(), Error::InvalidPath);
  env::setForTesting({});
  EXPECT_EQ(cleanupPingReference("c:\\w\xC3\xAFn\\system32\\ping.exe").error(), Error::InvalidPath);
}

// The script run by the stand-in cmd.exe, which reads it in code page 437 as
// the real one does on an OEM console.

// Whether a process still runs the script: the stand-in cmd.exe names it on
// its command line (a reaped process has left /proc, a zombie's line is empty).
bool scriptRuns(const std::string& script) {
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    if (test::IntegrationSandbox::readHost(e.path() / "cmdline").find(script) != std::string::npos) return true;
  }
  return false;
}

std::size_t countCalls(const test::IntegrationSandbox& box, std::string_view needle) {
  std::size_t n = 0;
  for (const std::string& c : box.calls()) n += c.find(needle) != std::string::npos;
  return n;
}

class CleanupScriptRun : public testing::TestWithParam<std::pair<const char*, const char*>> {
 protected:
  CleanupScriptRun() : box_(GetParam().first, GetParam().second) { box_.writeState("ping-ms", "0"); }

  std::string tempRel(std::string_view name) const {
    return box_.userRel("AppData/Local/Temp/" + std::string(name));
  }

  test::IntegrationSandbox box_;
};

TEST_P(CleanupScriptRun, DeletesTheTargetThenItself) {
  box_.writeFile(tempRel("tamberlock-uninstall-1f.exe"), "copy");
  ASSERT_TRUE(scheduleFileDeletion(box_.win(tempRel("tamberlock-uninstall-1f.exe"))).ok());
  EXPECT_TRUE(test::eventually([&] { return !box_.exists(tempRel("tamberlock-uninstall-1f.exe")); }));
  EXPECT_TRUE(test::eventually([&] { return box_.cleanupScripts().empty(); }));
  EXPECT_EQ(countCalls(box_, "\"ping.exe\""), 0u);
}

TEST_P(CleanupScriptRun, RetriesWhileTheTargetCannotBeDeleted) {
  box_.writeFile(tempRel("tamberlock-update-ab.exe"), "copy");
  box_.addFault("del *tamberlock-update-ab.exe => exit 1 times 3");
  ASSERT_TRUE(scheduleFileDeletion(box_.win(tempRel("tamberlock-update-ab.exe"))).ok());
  EXPECT_TRUE(test::eventually([&] { return box_.cleanupScripts().empty(); }));
  EXPECT_FALSE(box_.exists(tempRel("tamberlock-update-ab.exe")));
  EXPECT_EQ(countCalls(box_, "tamberlock-update-ab.exe"), 4u);
  EXPECT_EQ(countCalls(box_, "[\"ping.exe\", \"-n\", \"2\", \"127.0.0.1\"]"), 3u);
}

TEST_P(CleanupScriptRun, GivesUpAfterThirtyAttempts) {
  box_.writeFile(tempRel("tamberlock-uninstall-2.exe"), "copy");
  box_.addFault("del *tamberlock-uninstall-2.exe => exit 1");
  ASSERT_TRUE(scheduleFileDeletion(box_.win(tempRel("tamberlock-uninstall-2.exe"))).ok());
  EXPECT_TRUE(test::eventually([&] { return countCalls(box_, "tamberlock-uninstall-2.exe") >= 30; }));
  for (const auto& s : box_.cleanupScripts()) EXPECT_TRUE(test::eventually([&] { return !scriptRuns(s); }));
  EXPECT_EQ(countCalls(box_, "tamberlock-uninstall-2.exe"), 30u);
  EXPECT_EQ(countCalls(box_, "[\"ping.exe\""), 29u);
  EXPECT_TRUE(box_.exists(tempRel("tamberlock-uninstall-2.exe")));
  EXPECT_EQ(box_.cleanupScripts().size(), 1u);
}

TEST_P(CleanupScriptRun, AGoneTargetLeavesOnlyTheScriptToDelete) {
  ASSERT_TRUE(scheduleFileDeletion(box_.win(tempRel("tamberlock-uninstall-3.exe"))).ok());
  EXPECT_TRUE(test::eventually([&] { return box_.cleanupScripts().empty(); }));
  EXPECT_EQ(countCalls(box_, "[\"ping.exe\""), 0u);
}

std::string folderCaseName(const testing::TestParamInfo<CleanupScriptRun::ParamType>& info) {
  static const char* const kNames[] = {"Plain", "NonAscii", "CmdSpecials"};
  return kNames[info.index];
}

// Plain folders; a user folder with letters outside ASCII and a system root
// with them too (ping.exe is then reached through %SystemRoot%); and folder
// names that cmd.exe would split a command line at.
INSTANTIATE_TEST_SUITE_P(Folders, CleanupScriptRun,
                         testing::Values(std::make_pair("user", "Windows"),
                                         std::make_pair("J\xC3\xB6rg \xE5\xB1\xB1\xE7\x94\xB0", "W\xC3\xADndows"),
                                         std::make_pair("A&B (Work) 100%", "Windows")),
                         folderCaseName);

TEST(CleanupScriptFile, NamesAreFreshAndForbiddenTargetsWriteNothing) {
  test::IntegrationSandbox box;
  box.writeState("ping-ms", "0");
  std::vector<std::string> created;
  io().setFaultHook([&](FsOp op, std::string_view path) -> Status {
    if (op == FsOp::Create) created.emplace_back(path);
    return success();
  });
  std::string folder = box.win(box.userRel("AppData/Local/Temp"));
  Status first = scheduleFileDeletion(folder + "\\tamberlock-uninstall-4.exe");
  Status second = scheduleFileDeletion(folder + "\\tamberlock-uninstall-4.exe");
  Status quoted = scheduleFileDeletion(folder + "\\a\"b.exe");
  Status bare = scheduleFileDeletion("tamberlock-uninstall-5.exe");
  io().setFaultHook(nullptr);
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(quoted.error(), Error::InvalidPath);
  EXPECT_EQ(bare.error(), Error::InvalidPath);
  ASSERT_EQ(created.size(), 2u);
  EXPECT_NE(created[0], created[1]);
  for (const std::string& path : created) {
    ASSERT_EQ(path.rfind(folder + "\\tamberlock-cleanup-", 0), 0u) << path;
    std::string name = path.substr(folder.size() + 1);
    std::string hex = name.substr(19, name.size() - 19 - 4);
    EXPECT_EQ(name.substr(name.size() - 4), ".cmd");
    EXPECT_GE(hex.size(), 1u);
    EXPECT_LE(hex.size(), 16u);
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
    EXPECT_TRUE(hex == "0" || hex[0] != '0') << name;
  }
  // The scripts, finding no target, delete themselves.
  EXPECT_TRUE(test::eventually([&] { return box.cleanupScripts().empty(); }));
  // cmd.exe /c gets the script by a plain relative name: the folder, whatever
  // it holds ('&', parentheses), is only the working directory.
  EXPECT_EQ(countCalls(box, "[\"cmd.exe\", \"/d\", \"/c\", \".\\\\tamberlock-cleanup-"), 2u);
}

}  // namespace
}  // namespace tl
