#include "windows_integration/tool_runner.h"

#include <gtest/gtest.h>

#include "common/command_line.h"
#include "platform/env.h"
#include "platform/process.h"

namespace tl {
namespace {

// Reads a PowerShell single-quoted literal the way PowerShell does: it ends
// at any of U+0027 and U+2018..U+201B unless that quote is doubled (by any
// of the same set), which stands for the second one.
bool isQuoteAt(std::string_view s, std::size_t i, std::size_t* len) {
  if (i < s.size() && s[i] == '\'') {
    *len = 1;
    return true;
  }
  if (i + 2 < s.size() && static_cast<unsigned char>(s[i]) == 0xE2 &&
      static_cast<unsigned char>(s[i + 1]) == 0x80 && static_cast<unsigned char>(s[i + 2]) >= 0x98 &&
      static_cast<unsigned char>(s[i + 2]) <= 0x9B) {
    *len = 3;
    return true;
  }
  return false;
}

// Parses "'...'" at the start of script; returns the literal's value and
// the rest after the closing quote.
bool readPowerShellLiteral(std::string_view script, std::string* value, std::string_view* rest) {
  std::size_t len = 0;
  if (!isQuoteAt(script, 0, &len)) return false;
  std::size_t i = len;
  value->clear();
  while (i < script.size()) {
    std::size_t q = 0;
    if (isQuoteAt(script, i, &q)) {
      std::size_t q2 = 0;
      if (isQuoteAt(script, i + q, &q2)) {
        value->append(script.substr(i + q, q2));
        i += q + q2;
        continue;
      }
      *rest = script.substr(i + q);
      return true;
    }
    *value += script[i++];
  }
  return false;
}

TEST(QuotePowerShellLiteral, ReadsBackUnchangedAndNothingAfterIt) {
  const std::string texts[] = {
      "",
      "C:\\Users\\Bob\\Desktop\\My App.lnk",
      "O'Brien's \"App\" $env:PATH `backtick`",
      "Bob\xE2\x80\x99s App",                                  // U+2019
      "\xE2\x80\x98x\xE2\x80\x99\xE2\x80\x9A\xE2\x80\x9B'",  // all five quotes
      "'; Remove-Item C:\\ -Recurse; '",
      "\xE2\x80\x99; Start-Process calc; \xE2\x80\x98",
      "\xE2\x80\x9C double typographic \xE2\x80\x9D stays",   // U+201C/D are not ends
      "\xE2\x80",                                              // truncated sequence
  };
  for (const std::string& text : texts) {
    std::string script = "'" + quotePowerShellLiteral(text) + "'; tail";
    std::string value;
    std::string_view rest;
    ASSERT_TRUE(readPowerShellLiteral(script, &value, &rest)) << text;
    EXPECT_EQ(value, text);
    EXPECT_EQ(rest, "; tail") << text;
  }
}

TEST(QuotePowerShellLiteral, DoublesEachQuoteWithItself) {
  EXPECT_EQ(quotePowerShellLiteral("a'b"), "a''b");
  EXPECT_EQ(quotePowerShellLiteral("\xE2\x80\x99"), "\xE2\x80\x99\xE2\x80\x99");
  EXPECT_EQ(quotePowerShellLiteral("\xE2\x80\x9C"), "\xE2\x80\x9C");
}

TEST(PowerShellCommand, SurvivesTheWindowsSplitter) {
  env::setForTesting({{"SystemRoot", "C:\\Windows"}});
  const std::string scripts[] = {
      "$x = 'a b'\n$y = \"q\\\"\" \\\\server\\share\\\n",
      "Write-Output 'C:\\Program Files\\'",
      "ends with backslash \\",
      "",
  };
  for (const std::string& script : scripts) {
    Result<std::vector<std::string>> argv = powershellCommand(script);
    ASSERT_TRUE(argv.ok());
    EXPECT_EQ((*argv)[0], "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
    EXPECT_EQ(std::vector<std::string>(argv->begin() + 1, argv->end() - 1),
              (std::vector<std::string>{"-NoProfile", "-NonInteractive", "-WindowStyle", "Hidden",
                                        "-Command"}));
    EXPECT_EQ(splitCommandLineUtf8(buildCommandLine(*argv).value()), *argv);
  }
}

TEST(SystemToolPath, IsTheSystemDirectoryWhateverPathSays) {
  env::setForTesting({{"SystemRoot", "D:\\Win dows"}, {"PATH", "C:\\elsewhere"}});
  Result<std::string> reg = systemToolPath("reg.exe");
  ASSERT_TRUE(reg.ok());
  EXPECT_EQ(*reg, "D:\\Win dows\\System32\\reg.exe");
}

// Runs of a real program: only a normal exit with code 0 succeeds, and a
// program that cannot be started is an error of the run.
TEST(ToolRuns, OutcomesOfRealChildren) {
  env::setForTesting({});
  const std::string sh = "Z:\\bin\\sh";
  struct Case {
    std::string script;
    bool succeeded;
  } cases[] = {
      {"exit 0", true},
      {"exit 1", false},
      {"exit 255", false},
      {"kill -9 $$", false},  // killed by a signal: no exit status to read
  };
  for (const Case& c : cases) {
    Result<QuietRunResult> quiet = runCommandQuietly({sh, "-c", c.script});
    ASSERT_TRUE(quiet.ok()) << c.script;
    EXPECT_EQ(quiet->succeeded, c.succeeded) << c.script;
    Status strict = runCommandStrict({sh, "-c", c.script});
    EXPECT_EQ(strict.ok(), c.succeeded) << c.script;
    if (!strict.ok()) {
      EXPECT_EQ(strict.error(), Error::WindowsCommandFailed);
    }
    Result<CaptureRunResult> captured = runCommandCapture({sh, "-c", "echo out; echo err >&2; " + c.script});
    ASSERT_TRUE(captured.ok()) << c.script;
    EXPECT_EQ(captured->succeeded, c.succeeded) << c.script;
    EXPECT_EQ(captured->out, "out\n");
    EXPECT_EQ(captured->err, "err\n");
  }

  const std::string missing = "Z:\\no\\such\\tool.exe";
  EXPECT_EQ(runCommandQuietly({missing}).error(), Error::FileNotFound);
  EXPECT_EQ(runCommandStrict({missing}).error(), Error::FileNotFound);
  EXPECT_EQ(runCommandCapture({missing}).error(), Error::FileNotFound);
}

TEST(ToolRuns, CaptureStopsAtItsLimit) {
  env::setForTesting({});
  const std::string sh = "Z:\\bin\\sh";
  std::string fill = "head -c " + std::to_string(kCaptureLimit);
  Result<CaptureRunResult> exact = runCommandCapture({sh, "-c", fill + " /dev/zero"});
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(exact->out.size(), kCaptureLimit);
  for (const char* stream : {"", " >&2"}) {
    Result<CaptureRunResult> over =
        runCommandCapture({sh, "-c", "head -c " + std::to_string(kCaptureLimit + 1) + " /dev/zero" + stream});
    ASSERT_FALSE(over.ok()) << stream;
    EXPECT_EQ(over.error(), Error::StreamTooLong);
  }
}

}  // namespace
}  // namespace tl
