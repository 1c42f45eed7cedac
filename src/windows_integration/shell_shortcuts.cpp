#include "windows_integration/shell_shortcuts.h"

#include "common/diagnostics.h"
#include "common/install_layout.h"
#include "common/json_reader.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "windows_integration/tool_runner.h"

namespace tl {

namespace {

constexpr std::size_t kManifestReadCap = 65536;

// The four keys of a previous integration's manifest that tell which
// shortcuts it made.
struct PreviousShortcuts {
  std::string identifier;
  std::string channel;
  std::string desktop_shortcut;
  std::string start_menu_shortcut;
};

const json::Schema<PreviousShortcuts>& previousShortcutsSchema() {
  static const json::Schema<PreviousShortcuts> schema{
      json::field<&PreviousShortcuts::identifier, json::kRequired>("identifier"),
      json::field<&PreviousShortcuts::channel, json::kRequired>("channel"),
      json::field<&PreviousShortcuts::desktop_shortcut, json::kRequired>("desktop_shortcut"),
      json::field<&PreviousShortcuts::start_menu_shortcut, json::kRequired>("start_menu_shortcut"),
  };
  return schema;
}

bool isFileUnsafe(unsigned char c) {
  if (c < 0x20) return true;
  switch (c) {
    case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
      return true;
    default:
      return false;
  }
}

bool isTrimmable(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isTrimmable(s.front())) s.remove_prefix(1);
  while (!s.empty() && isTrimmable(s.back())) s.remove_suffix(1);
  return s;
}

bool endsWithLnk(std::string_view name) {
  return name.size() >= 4 && asciiEqualIgnoreCase(name.substr(name.size() - 4), ".lnk");
}

// Removes a shortcut that would otherwise be left behind at `candidate`,
// unless it is where the new shortcut goes anyway.
Status removeUnlessNewLink(std::string_view candidate, std::string_view newLink,
                           std::string_view launcher) {
  bool same = TRY(pathsEqualIgnoreCase(candidate, newLink));
  if (same) return success();
  return removeShortcutIfTargetMatches(candidate, launcher);
}

// Only the file name of a recorded shortcut counts, always inside the current
// folder: a recorded path elsewhere is never touched.
Status removeRecordedShortcut(std::string_view recorded, std::string_view folder,
                              std::string_view newLink, std::string_view launcher) {
  std::string_view fileName = lastComponent(recorded);
  if (!endsWithLnk(fileName)) return success();
  return removeUnlessNewLink(joinPath({folder, fileName}), newLink, launcher);
}

Status runPowerShellStrict(std::string_view script) {
  std::vector<std::string> argv = TRY(powershellCommand(script));
  return runCommandStrict(argv);
}

std::string createShortcutScript(std::string_view linkPath, std::string_view targetPath,
                                 std::string_view workingDirectory, std::string_view iconLocation) {
  std::string link = quotePowerShellLiteral(linkPath);
  std::string s = "$WshShell = New-Object -ComObject WScript.Shell\n";
  s += "$Shortcut = $WshShell.CreateShortcut('" + link + "')\n";
  s += "$Shortcut.TargetPath = '" + quotePowerShellLiteral(targetPath) + "'\n";
  s += "$Shortcut.WorkingDirectory = '" + quotePowerShellLiteral(workingDirectory) + "'\n";
  s += "$Shortcut.IconLocation = '" + quotePowerShellLiteral(iconLocation) + "'\n";
  s += "$Shortcut.WindowStyle = 1\n";
  s += "$Shortcut.Save()\n";
  return s;
}

std::string removeShortcutScript(std::string_view linkPath, std::string_view expectedTarget) {
  std::string link = quotePowerShellLiteral(linkPath);
  std::string s = "$ErrorActionPreference = 'Stop'\n";
  s += "if (-not (Test-Path -LiteralPath '" + link + "' -PathType Leaf)) { exit 0 }\n";
  s += "$WshShell = New-Object -ComObject WScript.Shell\n";
  // A file WScript.Shell cannot read as a shortcut is not ours (the
  // uninstall's pre-check keeps it for the same reason): leave it and count
  // the removal as done, or an uninstall could never finish.
  s += "try {\n";
  s += "    $Target = $WshShell.CreateShortcut('" + link + "').TargetPath\n";
  s += "} catch {\n";
  s += "    # An edited/non-shortcut file is not Tamberlock-owned. Preserve it.\n";
  s += "    exit 0\n";
  s += "}\n";
  s += "if ([String]::IsNullOrWhiteSpace($Target)) { exit 0 }\n";
  s += "$Target = [Environment]::ExpandEnvironmentVariables($Target)\n";
  s += "$Actual = [IO.Path]::GetFullPath($Target)\n";
  s += "$Expected = [IO.Path]::GetFullPath('" + quotePowerShellLiteral(expectedTarget) + "')\n";
  s += "if ([String]::Equals($Actual, $Expected, [StringComparison]::OrdinalIgnoreCase)) {\n";
  s += "    Remove-Item -LiteralPath '" + link + "' -Force\n";
  s += "}\n";
  return s;
}

}  // namespace

std::string channelDisplayName(std::string_view name, std::string_view channel) {
  std::string out(name);
  if (channel == "stable") return out;
  if (channel == "canary") {
    out += " (Canary)";
  } else if (channel == "dev") {
    out += " (Development)";
  } else {
    out += " (";
    out += channel;
    out += ')';
  }
  return out;
}

std::string shortcutFileName(std::string_view name, std::string_view channel) {
  std::string safe = channelDisplayName(name, channel);
  for (char& c : safe) {
    if (isFileUnsafe(static_cast<unsigned char>(c))) c = '_';
  }
  while (!safe.empty() && (safe.back() == '.' || safe.back() == ' ')) safe.pop_back();
  if (safe.empty()) safe = "Application";
  safe += ".lnk";
  return safe;
}

Result<std::string> queryShellFolder(std::string_view specialFolder) {
  std::string script =
      "[Console]::OutputEncoding = [Text.UTF8Encoding]::new(); "
      "[Environment]::GetFolderPath([Environment+SpecialFolder]::";
  script += specialFolder;
  script += ')';
  std::vector<std::string> argv = TRY(powershellCommand(script));
  CaptureRunResult run = TRY(runCommandCapture(argv));
  if (!run.succeeded) return Error::KnownFolderLookupFailed;
  std::string_view folder = trim(run.out);
  if (folder.empty() || !isAbsolutePath(folder)) return Error::KnownFolderLookupFailed;
  return std::string(folder);
}

Result<std::string> desktopDir() {
  Result<std::string> queried = queryShellFolder("DesktopDirectory");
  if (queried) return queried;
  std::string profile = TRY(getEnvVarOwned("USERPROFILE"));
  return joinPath({profile, "Desktop"});
}

Result<std::string> startMenuProgramsDir() {
  Result<std::string> queried = queryShellFolder("Programs");
  if (queried) return queried;
  std::string base;
  Result<std::string> appData = getEnvVarOwned("APPDATA");
  if (appData) {
    base = appData.take();
  } else {
    std::string profile = TRY(getEnvVarOwned("USERPROFILE"));
    base = joinPath({profile, "AppData", "Roaming"});
  }
  return joinPath({base, "Microsoft", "Windows", "Start Menu", "Programs"});
}

Status createShortcut(std::string_view linkPath, std::string_view targetPath,
                      std::string_view workingDirectory, std::string_view iconLocation) {
  TRY(runPowerShellStrict(createShortcutScript(linkPath, targetPath, workingDirectory, iconLocation)));
  diagLine({"Created Windows shortcut: ", linkPath});
  return success();
}

Status removeShortcutIfTargetMatches(std::string_view linkPath, std::string_view expectedTarget) {
  return runPowerShellStrict(removeShortcutScript(linkPath, expectedTarget));
}

Status removePreviousShortcuts(std::string_view manifestPath, std::string_view identifier,
                               std::string_view channel, const ShortcutPlaces& places) {
  Result<std::string> bytes = fs::readFile(manifestPath, kManifestReadCap);
  if (!bytes) {
    if (bytes.error() == Error::FileNotFound) return success();
    return bytes.error();
  }
  PreviousShortcuts previous;
  TRY(json::readRecord(*bytes, previousShortcutsSchema(), previous, {json::Mode::lenient}));
  if (!asciiEqualIgnoreCase(previous.identifier, identifier) || previous.channel != channel) {
    return success();  // the file belongs to another installation
  }
  TRY(removeRecordedShortcut(previous.desktop_shortcut, places.desktopDir, places.newDesktopLink,
                             places.launcherPath));
  TRY(removeRecordedShortcut(previous.start_menu_shortcut, places.startMenuDir,
                             places.newStartMenuLink, places.launcherPath));
  return success();
}

Status removeLegacyShortcuts(std::string_view name, const ShortcutPlaces& places) {
  std::string legacy = shortcutFileName(name, "stable");
  TRY(removeUnlessNewLink(joinPath({places.desktopDir, legacy}), places.newDesktopLink,
                          places.launcherPath));
  TRY(removeUnlessNewLink(joinPath({places.startMenuDir, legacy}), places.newStartMenuLink,
                          places.launcherPath));
  return success();
}

void warnPreviousShortcutRemovalFailed(Error e) {
  diagLine({"Warning: Could not remove previous Windows shortcuts: ", e});
}

void warnLegacyShortcutRemovalFailed(Error e) {
  diagLine({"Warning: Could not remove legacy Windows shortcuts: ", e});
}

}  // namespace tl
