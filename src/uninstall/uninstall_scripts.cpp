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
  s += "}\n";
  return s;
}

std::string stopProcessesScript(std::string_view r) {
  return "$root = [IO.Path]::GetFullPath('" + std::string(r) +
         "').TrimEnd('\\') + '\\'; Get-CimInstance Win32_Process | Where-Object { $_.ExecutablePath -and "
         "[IO.Path]::GetFullPath($_.ExecutablePath).StartsWith($root, [StringComparison]::OrdinalIgnoreCase) } | "
         "ForEach-Object { Stop-Process -Id $_.ProcessId -Force -ErrorAction SilentlyContinue }";
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
