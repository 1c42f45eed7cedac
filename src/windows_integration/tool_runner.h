#pragma once
// Running the programs that ship with Windows (reg.exe, powershell.exe, ...):
// always by absolute path in the system directory, never through PATH.
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace tl {

// The system directory joined with the tool's name ("reg.exe").
[[nodiscard]] Result<std::string> systemToolPath(std::string_view toolName);
// <system directory>\WindowsPowerShell\v1.0\powershell.exe
[[nodiscard]] Result<std::string> powershellPath();

// The text to place between single quotes in a PowerShell script so that it
// reads back as one literal string. PowerShell ends a single-quoted literal at
// the ASCII apostrophe and at the typographic quotes U+2018 to U+201B alike,
// and reads any of them doubled as one; so each of these is doubled with
// itself and every other byte stays.
std::string quotePowerShellLiteral(std::string_view text);

// The argument vector that runs a PowerShell script hidden and without a
// profile.
[[nodiscard]] Result<std::vector<std::string>> powershellCommand(std::string_view script);

struct QuietRunResult {
  bool succeeded = false;  // exited normally with exit code 0
};

// Starts argv[0] with the whole vector as its command line, all streams on
// the null device, and waits for it. A tool that cannot be started is an
// error; one that runs and fails is succeeded = false.
[[nodiscard]] Result<QuietRunResult> runCommandQuietly(const std::vector<std::string>& argv);

// Like runCommandQuietly, but a run that does not succeed is
// WindowsCommandFailed.
[[nodiscard]] Status runCommandStrict(const std::vector<std::string>& argv);

// Starts argv[0] with the whole vector as its command line, no window and
// null streams, and does not wait for it; only a failed start is an error.
[[nodiscard]] Status startCommandQuietly(const std::vector<std::string>& argv);

struct CaptureRunResult {
  bool succeeded = false;
  std::string out;
  std::string err;
};

constexpr std::size_t kCaptureLimit = 32768;

// Starts the tool with pipes on standard output and error and collects each
// up to kCaptureLimit bytes; more is StreamTooLong (the child is killed).
[[nodiscard]] Result<CaptureRunResult> runCommandCapture(const std::vector<std::string>& argv);

}  // namespace tl
