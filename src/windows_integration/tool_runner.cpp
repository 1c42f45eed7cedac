#include "windows_integration/tool_runner.h"

#include "common/command_line.h"
#include "common/paths.h"
#include "platform/process.h"

namespace tl {

namespace {

// Tools are waited for without a time limit, with no window and no streams.
process::SpawnOptions quietOptions() {
  process::SpawnOptions opts;
  opts.noWindow = true;
  opts.streams = process::StdStreams::Null;
  return opts;
}

// U+2018..U+201B in UTF-8: E2 80 98..9B.
bool isTypographicSingleQuote(std::string_view text, std::size_t i) {
  return i + 2 < text.size() && static_cast<unsigned char>(text[i]) == 0xE2 &&
         static_cast<unsigned char>(text[i + 1]) == 0x80 &&
         static_cast<unsigned char>(text[i + 2]) >= 0x98 &&
         static_cast<unsigned char>(text[i + 2]) <= 0x9B;
}

}  // namespace

Result<std::string> systemToolPath(std::string_view toolName) {
  std::string dir = TRY(process::systemDirectory());
  return joinPath({dir, toolName});
}

Result<std::string> powershellPath() {
  std::string dir = TRY(process::systemDirectory());
  return joinPath({dir, "WindowsPowerShell", "v1.0", "powershell.exe"});
}

std::string quotePowerShellLiteral(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      out += "''";
    } else if (isTypographicSingleQuote(text, i)) {
      std::string_view quote = text.substr(i, 3);
      out += quote;
      out += quote;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

Result<std::vector<std::string>> powershellCommand(std::string_view script) {
  std::string ps = TRY(powershellPath());
  return std::vector<std::string>{std::move(ps), "-NoProfile", "-NonInteractive", "-WindowStyle",
                                  "Hidden",      "-Command",   std::string(script)};
}

Result<QuietRunResult> runCommandQuietly(const std::vector<std::string>& argv) {
  if (argv.empty()) return Error::InvalidArguments;
  std::string commandLine = TRY(buildCommandLine(argv));
  process::ExitStatus status = TRY(process::runAndWait(argv[0], commandLine, quietOptions()));
  return QuietRunResult{status.succeeded()};
}

Status runCommandStrict(const std::vector<std::string>& argv) {
  QuietRunResult run = TRY(runCommandQuietly(argv));
  if (!run.succeeded) return Error::WindowsCommandFailed;
  return success();
}

Status startCommandQuietly(const std::vector<std::string>& argv) {
  if (argv.empty()) return Error::InvalidArguments;
  std::string commandLine = TRY(buildCommandLine(argv));
  return process::spawnDetached(argv[0], commandLine, quietOptions());
}

Result<CaptureRunResult> runCommandCapture(const std::vector<std::string>& argv) {
  if (argv.empty()) return Error::InvalidArguments;
  std::string commandLine = TRY(buildCommandLine(argv));
  process::CaptureResult cap = TRY(process::runCapture(argv[0], commandLine, kCaptureLimit));
  return CaptureRunResult{cap.status.succeeded(), std::move(cap.out), std::move(cap.err)};
}

}  // namespace tl
