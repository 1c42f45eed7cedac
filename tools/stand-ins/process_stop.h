#pragma once
// Ending the processes that run a program from inside a folder, as
// Get-CimInstance Win32_Process | Stop-Process -Force does.
#include <string>

namespace standin {

// Kills (SIGKILL) every process of the same user, the own one excepted,
// whose executable's full Windows path starts with `root` (compared with
// OrdinalIgnoreCase). Failures to end one are ignored, as with
// -ErrorAction SilentlyContinue. Returns how many were signalled.
int stopProcessesUnder(const std::string& root);

}  // namespace standin
