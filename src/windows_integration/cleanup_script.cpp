#include "windows_integration/cleanup_script.h"

#include "common/command_line.h"
#include "common/hex.h"
#include "common/install_layout.h"
#include "common/paths.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "platform/process.h"
#include "windows_integration/tool_runner.h"

namespace tl {

namespace {

bool isPrintableAscii(std::string_view s) {
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b > 0x7E) return false;
  }
  return true;
}

// Text for inside a double-quoted script argument: no line break or double
// quote can appear, and '%' is doubled so that cmd.exe reads it literally.
// Delayed expansion is off, so '!' needs nothing.
Result<std::string> escapeForScript(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 4);
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '"') return Error::InvalidPath;
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

}  // namespace

Result<std::string> cleanupScriptArgument(std::string_view folder, std::string_view scriptName) {
  // cmd.exe /c takes the rest of its command line as a command: a folder
  // holding '&' would split it, and one holding parentheses and a space loses
  // its quotes. The script is therefore named relative to the working
  // directory, which is its folder; its name is plain ASCII.
  const bool onShare = folder.size() >= 2 && isPathSeparator(folder[0]) && isPathSeparator(folder[1]);
  if (!onShare) return ".\\" + std::string(scriptName);
  // cmd.exe will not run in a folder on a share (or any "\\" path): it falls
  // back to the Windows folder, where a relative name finds nothing. There the
  // full path is given, with '\' only ('/' would read as a switch), and it
  // must hold nothing that cmd.exe /c splits, redirects or expands at.
  std::string path = TRY(resolvePath({folder, scriptName}));
  if (path.find_first_of("&|<>^()@\"%;,=") != std::string::npos) return Error::InvalidPath;
  return path;
}

Result<std::string> cleanupPingReference(std::string_view pingPath) {
  // The path is held to the script rule even when %SystemRoot% stands for
  // it: the expanded text lands between the same double quotes.
  std::string escaped = TRY(escapeForScript(pingPath));
  if (isPrintableAscii(pingPath)) return escaped;
  if (std::optional<std::string> systemRoot = env::get("SystemRoot")) {
    bool underSystemRoot =
        TRY(pathsEqualIgnoreCase(pingPath, joinPath({*systemRoot, "System32", "ping.exe"})));
    if (underSystemRoot) return std::string("%SystemRoot%\\System32\\ping.exe");
  }
  return Error::InvalidPath;
}

Result<std::string> cleanupTargetReference(std::string_view targetPath) {
  // The whole target is held to the rule for script paths, and its name, the
  // only part written into the script, must also survive any code page.
  TRY(escapeForScript(targetPath));
  std::string_view fileName = lastComponent(targetPath);
  if (fileName.empty() || !isPrintableAscii(fileName)) return Error::InvalidPath;
  return "\"%~dp0" + TRY(escapeForScript(fileName)) + "\"";
}

std::string cleanupScriptText(std::string_view target, std::string_view pingReference) {
  std::string t(target);
  std::string s;
  s += "@echo off\n";
  s += "setlocal DisableDelayedExpansion\n";
  s += "set retries=0\n";
  s += ":retry\n";
  s += "del /f /q " + t + " >nul 2>&1\n";
  s += "if not exist " + t + " goto deleted\n";
  s += "set /a retries+=1\n";
  s += "if %retries% GEQ 30 exit /b 1\n";
  s += "\"" + std::string(pingReference) + "\" -n 2 127.0.0.1 >nul\n";
  s += "goto retry\n";
  s += ":deleted\n";
  s += "del /f /q \"%~f0\" >nul 2>&1\n";
  return s;
}

Status scheduleFileDeletion(std::string_view targetPath) {
  std::optional<std::string> folder = parentPath(targetPath);
  if (!folder) return Error::InvalidPath;
  std::string scriptName = "tamberlock-cleanup-" + hexNoLeadingZeros(io().randomU64()) + ".cmd";
  std::string scriptPath = joinPath({*folder, scriptName});
  std::string scriptArgument = TRY(cleanupScriptArgument(*folder, scriptName));
  std::string target = TRY(cleanupTargetReference(targetPath));
  std::string pingPath = TRY(systemToolPath("ping.exe"));
  std::string ping = TRY(cleanupPingReference(pingPath));
  std::string script = cleanupScriptText(target, ping);

  {
    fs::File file = TRY(fs::createFile(scriptPath, /*exclusive=*/false, /*truncate=*/true));
    TRY(fs::writeAll(file, script.data(), script.size()));
  }

  std::string cmd = TRY(systemToolPath("cmd.exe"));
  process::SpawnOptions opts;
  opts.workingDirectory = *folder;
  opts.streams = process::StdStreams::Null;
  opts.noWindow = true;
  std::string commandLine = TRY(buildCommandLine({cmd, "/d", "/c", scriptArgument}));
  return process::spawnDetached(cmd, commandLine, opts);
}

}  // namespace tl
