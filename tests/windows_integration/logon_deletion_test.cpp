#include "windows_integration/logon_deletion.h"

#include <gtest/gtest.h>

#include "platform/env.h"

namespace tl {
namespace {

TEST(LogonDeletion, CommandQuotesTheTargetAndRefusesWhatCmdWouldExpandOrSplit) {
  env::setForTesting({{"SystemRoot", "C:\\Windows"}});
  struct Case {
    std::string_view target;
    std::string_view command;  // empty: InvalidPath
  } cases[] = {
      {"C:\\Users\\J\xC3\xB6rg (A&B)!\\Temp\\tamberlock-update-1f.exe",
       "\"C:\\Windows\\System32\\cmd.exe\" /c del /f /q "
       "\"C:\\Users\\J\xC3\xB6rg (A&B)!\\Temp\\tamberlock-update-1f.exe\""},
      {"C:\\Users\\100%\\Temp\\x.exe", ""},
      {"C:\\T\\a\"b.exe", ""},
      {"C:\\T\\a\nb.exe", ""},
  };
  for (const Case& c : cases) {
    Result<std::string> command = logonDeletionCommand(c.target);
    if (c.command.empty()) {
      EXPECT_EQ(command.error(), Error::InvalidPath) << c.target;
    } else {
      ASSERT_TRUE(command.ok()) << c.target;
      EXPECT_EQ(*command, c.command);
    }
  }
  env::setForTesting({});
}

}  // namespace
}  // namespace tl
