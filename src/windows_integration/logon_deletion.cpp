#include "windows_integration/logon_deletion.h"

#include "windows_integration/tool_runner.h"

namespace tl {

Result<std::string> logonDeletionCommand(std::string_view targetPath) {
  if (targetPath.empty() || targetPath.find_first_of("%\"\r\n") != std::string_view::npos) return Error::InvalidPath;
  const std::string cmd = TRY(systemToolPath("cmd.exe"));
  return "\"" + cmd + "\" /c del /f /q \"" + std::string(targetPath) + "\"";
}

Status scheduleDeletionAtNextLogon(std::string_view valueName, std::string_view targetPath) {
  const std::string command = TRY(logonDeletionCommand(targetPath));
  const std::string reg = TRY(systemToolPath("reg.exe"));
  return runCommandStrict(
      {reg, "add", std::string(kRunOnceKey), "/v", std::string(valueName), "/t", "REG_SZ", "/d", command, "/f",
       "/reg:64"});
}

}  // namespace tl
