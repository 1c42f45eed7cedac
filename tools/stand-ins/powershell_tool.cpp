// powershell.exe: recognises exactly the system's scripts and carries out
// what they would do: the shell-folder query, creating a shortcut, removing
// a shortcut that points at a given target, the uninstall pre-check of a
// shortcut path, and stopping the processes run from a folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "environment.h"
#include "process_stop.h"
#include "ps_template.h"
#include "roles.h"
#include "shortcut_file.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"
#include "win_path.h"

namespace standin {

namespace {

#define SLOT(n) "\x01" #n

constexpr std::string_view kCreateShortcut =
    "$WshShell = New-Object -ComObject WScript.Shell\n"
    "$Shortcut = $WshShell.CreateShortcut('" SLOT(0) "')\n"
    "$Shortcut.TargetPath = '" SLOT(1) "'\n"
    "$Shortcut.WorkingDirectory = '" SLOT(2) "'\n"
    "$Shortcut.IconLocation = '" SLOT(3) "'\n"
    "$Shortcut.WindowStyle = 1\n"
    "$Shortcut.Save()\n";

constexpr std::string_view kRemoveShortcut =
    "$ErrorActionPreference = 'Stop'\n"
    "if (-not (Test-Path -LiteralPath '" SLOT(0) "' -PathType Leaf)) { exit 0 }\n"
    "$WshShell = New-Object -ComObject WScript.Shell\n"
    "try {\n"
    "    $Target = $WshShell.CreateShortcut('" SLOT(0) "').TargetPath\n"
    "} catch {\n"
    "    # An edited/non-shortcut file is not Tamberlock-owned. Preserve it.\n"
    "    exit 0\n"
    "}\n"
    "if ([String]::IsNullOrWhiteSpace($Target)) { exit 0 }\n"
    "$Target = [Environment]::ExpandEnvironmentVariables($Target)\n"
    "$Actual = [IO.Path]::GetFullPath($Target)\n"
    "$Expected = [IO.Path]::GetFullPath('" SLOT(1) "')\n"
    "if ([String]::Equals($Actual, $Expected, [StringComparison]::OrdinalIgnoreCase)) {\n"
    "    Remove-Item -LiteralPath '" SLOT(0) "' -Force\n"
    "}\n";

constexpr std::string_view kPreCheck =
    "$ErrorActionPreference = 'Stop'\n"
    "if (-not (Test-Path -LiteralPath '" SLOT(0) "')) { exit 0 }\n"
    "$Item = Get-Item -LiteralPath '" SLOT(0) "' -Force\n"
    "if ($Item.PSIsContainer -or (($Item.Attributes -band [IO.FileAttributes]::ReparsePoint) -ne 0)) { exit 2 }\n"
    "try {\n"
    "    $WshShell = New-Object -ComObject WScript.Shell\n"
    "    [void]$WshShell.CreateShortcut('" SLOT(0) "').TargetPath\n"
    "} catch {\n"
    "    # An edited/non-shortcut file is not Tamberlock-owned. Preserve it.\n"
    "    exit 0\n"
    "}\n";

constexpr std::string_view kStopProcesses =
    "$ErrorActionPreference = 'Stop'; $root = [IO.Path]::GetFullPath('" SLOT(0) "').TrimEnd('\\') + '\\'; "
    "$failed = @(Get-CimInstance Win32_Process | Where-Object { $_.ExecutablePath -and "
    "[IO.Path]::GetFullPath($_.ExecutablePath).StartsWith($root, [StringComparison]::OrdinalIgnoreCase) } | "
    "ForEach-Object { try { Stop-Process -Id $_.ProcessId -Force } catch { "
    "if ($_.FullyQualifiedErrorId -notlike 'NoProcessFoundForGivenId,*') { $true } } }); "
    "if ($failed.Count -gt 0) { exit 1 }; exit 0";

#undef SLOT

constexpr std::string_view kShellFolderPrefix =
    "[Console]::OutputEncoding = [Text.UTF8Encoding]::new(); "
    "[Environment]::GetFolderPath([Environment+SpecialFolder]::";

// How `powershell.exe -Command` sets its exit status: an `exit N` statement
// gives N; an error that ends the script (any error outside a try while
// $ErrorActionPreference is 'Stop') gives 1; otherwise the status of the last
// statement ($?) decides: 1 when that statement reported any error, also one
// that a catch block handled without leaving the script or one kept quiet by
// -ErrorAction SilentlyContinue, 0 when it reported none. Every script below
// ends through one of these three, so its status follows that rule.
int exitStatement(int code) { return code; }

int terminatingError(const std::string& message) {
  std::fprintf(stderr, "%s\r\n", message.c_str());
  return 1;
}

int lastStatement(bool reportedError) { return reportedError ? 1 : 0; }

// The error record of a statement that failed without ending the script.
int lastStatementFailed(const std::string& message) {
  std::fprintf(stderr, "%s\r\n", message.c_str());
  return lastStatement(true);
}

std::string errnoText() { return std::strerror(errno); }

// .NET Char.IsWhiteSpace over the whole text.
bool isNullOrWhiteSpace(std::string_view s) {
  for (char32_t c : decodeUtf8(s)) {
    bool ws = (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
              (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
              c == 0x3000;
    if (!ws) return false;
  }
  return true;
}

// WScript.Shell's CreateShortcut: the path must name a .lnk file; an existing
// file is loaded and must be a shortcut. Returns the host path.
struct LoadedShortcut {
  std::string host;
  Shortcut shortcut;
  bool existed = false;
};

std::optional<LoadedShortcut> openShortcut(const std::string& link, std::string& error) {
  if (!endsWithAsciiIgnoreCase(link, ".lnk")) {
    error = "Exception calling \"CreateShortcut\" with \"1\" argument(s): \"The shortcut pathname must end with .lnk or .url.\"";
    return std::nullopt;
  }
  std::optional<std::string> host = toHostPath(link);
  if (!host) {
    error = "Exception calling \"CreateShortcut\" with \"1\" argument(s): \"The path is not valid: " + link + "\"";
    return std::nullopt;
  }
  LoadedShortcut out;
  out.host = *host;
  struct stat st {};
  if (::stat(host->c_str(), &st) != 0) {
    if (errno == ENOENT) return out;
    error = "Exception calling \"CreateShortcut\" with \"1\" argument(s): \"" + errnoText() + "\"";
    return std::nullopt;
  }
  std::optional<std::string> bytes;
  if (!S_ISDIR(st.st_mode)) {
    try {
      bytes = readHostFile(*host);
    } catch (const ToolFailure&) {
      bytes.reset();
    }
  }
  std::optional<Shortcut> parsed = bytes ? parseShortcut(*bytes) : std::nullopt;
  if (!parsed) {
    error = "Exception calling \"CreateShortcut\" with \"1\" argument(s): \"Unable to open the shortcut " + link +
            ": not a shortcut file.\"";
    return std::nullopt;
  }
  out.shortcut = *parsed;
  out.existed = true;
  return out;
}

// No $ErrorActionPreference here: a failing statement does not end the
// script, but whatever fails leaves nothing to save, so the last statement,
// $Shortcut.Save(), fails too.
int createShortcut(const std::vector<std::string>& v) {
  std::string error;
  std::optional<LoadedShortcut> sc = openShortcut(v[0], error);
  if (!sc) return lastStatementFailed(error);
  sc->shortcut.targetPath = v[1];
  sc->shortcut.workingDirectory = v[2];
  sc->shortcut.iconLocation = v[3];
  sc->shortcut.windowStyle = 1;
  std::optional<std::string> text = formatShortcut(sc->shortcut);
  if (!text) {
    return lastStatementFailed("Exception calling \"Save\" with \"0\" argument(s): \"a value holds a line break\"");
  }
  std::size_t slash = sc->host.find_last_of('/');
  std::string parent = slash == 0 ? "/" : sc->host.substr(0, slash);
  struct stat st {};
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return lastStatementFailed("Exception calling \"Save\" with \"0\" argument(s): \"Unable to save shortcut \"" +
                               v[0] + "\".\"");
  }
  try {
    writeHostFileAtomically(sc->host, *text);
  } catch (const ToolFailure& f) {
    return lastStatementFailed("Exception calling \"Save\" with \"0\" argument(s): \"" + std::string(f.what()) + "\"");
  }
  return lastStatement(false);
}

// Test-Path -LiteralPath: an empty path is a parameter binding error, which
// $ErrorActionPreference = 'Stop' turns into the end of the script.
void requireNonEmptyLiteralPath(const std::string& path) {
  if (path.empty()) {
    throw ToolFailure(1, "Test-Path : Cannot bind argument to parameter 'LiteralPath' because it is an empty string.\r\n");
  }
}

// Under $ErrorActionPreference = 'Stop' every error outside the try ends the
// script; the shortcut read's catch leaves with exit 0.
int removeShortcutIfTargetMatches(const std::vector<std::string>& v) {
  const std::string& link = v[0];
  requireNonEmptyLiteralPath(link);
  std::optional<std::string> host = toHostPath(link);
  struct stat st {};
  if (!host || ::stat(host->c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return exitStatement(0);
  std::string error;
  std::optional<LoadedShortcut> sc = openShortcut(link, error);
  if (!sc) return exitStatement(0);  // caught: the file is left alone
  if (isNullOrWhiteSpace(sc->shortcut.targetPath)) return exitStatement(0);
  std::string actual;
  std::string expected;
  if (!getFullPath(expandEnvironmentVariables(sc->shortcut.targetPath), actual, error) ||
      !getFullPath(v[1], expected, error)) {
    return terminatingError("Exception calling \"GetFullPath\" with \"1\" argument(s): \"" + error + "\"");
  }
  if (equalsOrdinalIgnoreCase(actual, expected) && ::unlink(sc->host.c_str()) != 0) {
    return terminatingError("Remove-Item : Cannot remove item " + link + ": " + errnoText());
  }
  return lastStatement(false);
}

int preCheck(const std::vector<std::string>& v) {
  requireNonEmptyLiteralPath(v[0]);
  std::optional<std::string> host = toHostPath(v[0]);
  struct stat st {};
  // Test-Path follows links: a dangling one is not there.
  if (!host || ::stat(host->c_str(), &st) != 0) return exitStatement(0);
  if (::lstat(host->c_str(), &st) != 0) return terminatingError("Get-Item : " + errnoText());
  if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) return exitStatement(2);
  std::string error;
  // A file that is not a shortcut: the catch leaves with exit 0.
  if (!openShortcut(v[0], error)) return exitStatement(0);
  return lastStatement(false);
}

// $ErrorActionPreference = 'Stop': a folder that GetFullPath refuses or a
// failed listing ends the script; a stop that fails is caught, and counted
// unless the process was already gone; the script then leaves with exit 1
// or 0.
int stopProcesses(const std::vector<std::string>& v) {
  std::string full;
  std::string error;
  if (!getFullPath(v[0], full, error)) {
    return terminatingError("Exception calling \"GetFullPath\" with \"1\" argument(s): \"" + error + "\"");
  }
  while (!full.empty() && full.back() == '\\') full.pop_back();
  std::string root = full + "\\";
  // A folder this wide would end the test run itself; no caller of the
  // stand-in means it.
  std::size_t depth = 0;
  for (std::size_t i = 3; i < root.size(); ++i) depth += root[i] == '\\';
  if (depth < 2) throw Refusal("refusing to end every process under " + root);
  StopOutcome outcome = stopProcessesUnder(root);
  if (outcome.error) return terminatingError(*outcome.error);
  return exitStatement(outcome.couldNotStop > 0 ? 1 : 0);
}

int shellFolder(std::string_view name) {
  // state\shell-folders may give the answer (one "Name=text" a line), so that
  // tests can make the query return something unusual.
  if (std::optional<std::string> overrides = readHostFile(statePath("shell-folders"))) {
    std::size_t start = 0;
    while (start < overrides->size()) {
      std::size_t nl = overrides->find('\n', start);
      if (nl == std::string::npos) nl = overrides->size();
      std::string_view line = std::string_view(*overrides).substr(start, nl - start);
      start = nl + 1;
      if (line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == '=') {
        std::string out = std::string(line.substr(name.size() + 1)) + "\r\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
        return lastStatement(false);
      }
    }
  }
  std::string folder;
  if (name == "DesktopDirectory") {
    if (std::optional<std::string> profile = envGet("USERPROFILE")) folder = *profile + "\\Desktop";
  } else if (std::optional<std::string> appData = envGet("APPDATA")) {
    folder = *appData + "\\Microsoft\\Windows\\Start Menu\\Programs";
  }
  // GetFolderPath answers with an empty string when it knows no folder.
  std::string out = folder + "\r\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return lastStatement(false);
}

struct Script {
  const char* name;
  std::string_view text;
  std::size_t slots;
  int (*run)(const std::vector<std::string>&);
};

constexpr Script kScripts[] = {
    {"createShortcut", kCreateShortcut, 4, createShortcut},
    {"removeShortcutIfTargetMatches", kRemoveShortcut, 2, removeShortcutIfTargetMatches},
    {"shortcut pre-check", kPreCheck, 1, preCheck},
    {"process stop", kStopProcesses, 1, stopProcesses},
};

}  // namespace

int runPowerShell(const Args& args) {
  static const char* const kFixed[] = {"-NoProfile", "-NonInteractive", "-WindowStyle", "Hidden", "-Command"};
  if (args.size() != 6) throw Refusal("expected -NoProfile -NonInteractive -WindowStyle Hidden -Command <script>");
  for (std::size_t i = 0; i < 5; ++i) {
    if (args[i] != kFixed[i]) throw Refusal("argument " + std::to_string(i + 1) + " is \"" + args[i] + "\", expected \"" + kFixed[i] + "\"");
  }
  const std::string& script = args[5];

  for (std::string_view folder : {"DesktopDirectory", "Programs"}) {
    if (script == std::string(kShellFolderPrefix) + std::string(folder) + ")") return shellFolder(folder);
  }

  const Script* best = nullptr;
  TemplateMatch bestMatch;
  for (const Script& s : kScripts) {
    TemplateMatch m = matchTemplate(script, s.text);
    if (m.ok) {
      if (m.values.size() != s.slots) throw Refusal(std::string("template of ") + s.name + " is broken");
      return s.run(m.values);
    }
    if (!best || m.failedAt > bestMatch.failedAt) {
      best = &s;
      bestMatch = m;
    }
  }
  throw Refusal("not one of the system's scripts (closest: " + std::string(best->name) + ", at byte " +
                std::to_string(bestMatch.failedAt) + ": " + bestMatch.why + ")");
}

}  // namespace standin
