#include "uninstall/uninstall_scripts.h"

#include "common/hex.h"
#include "common/sha256.h"

namespace tl {

std::string shortcutPrecheckScript(std::string_view p) {
  std::string P(p);
  std::string s;
  s += "$ErrorActionPreference = 'Stop'\n";
  s += "if (-not (Test-Path -LiteralPath '" + P + "')) { exit 0 }\n";
  s += "$Item = Get-Item -LiteralPath '" + P + "' -Force\n";
  s += "if ($Item.PSIsContainer -or (($Item.Attributes -band [IO.FileAttributes]::ReparsePoint) -ne 0)) { exit 2 }\n";
  s += "try {\n";
  s += "    $WshShell = New-Object -ComObject WScript.Shell\n";
  s += "    [void]$WshShell.CreateShortcut('" + P + "').TargetPath\n";
  s += "} catch {\n";
  s += "    # An edited/non-shortcut file is not Tamberlock-owned. Preserve it.\n";
  s += "    exit 0\n";
  s += "}\n";
  return s;
}

std::string stopProcessesScript(std::string_view r) {
  // A process that ended between the listing and its stop is no failure; one
  // that could not be stopped is, once the others were tried.
  return "$ErrorActionPreference = 'Stop'; $root = [IO.Path]::GetFullPath('" + std::string(r) +
         "').TrimEnd('\\') + '\\'; $failed = @(Get-CimInstance Win32_Process | Where-Object { $_.ExecutablePath -and "
         "[IO.Path]::GetFullPath($_.ExecutablePath).StartsWith($root, [StringComparison]::OrdinalIgnoreCase) } | "
         "ForEach-Object { try { Stop-Process -Id $_.ProcessId -Force } catch { "
         "if ($_.FullyQualifiedErrorId -notlike 'NoProcessFoundForGivenId,*') { $true } } }); "
         "if ($failed.Count -gt 0) { exit 1 }; exit 0";
}

std::string updateTaskName(std::string_view identifier, std::string_view channel) {
  Sha256 h;
  h.update(identifier);
  h.update(std::string_view("\0", 1));
  h.update(channel);
  auto d = h.finish();
  return "TamberlockUpdate_" + toLowerHex(d.data(), 12);
}

}  // namespace tl
