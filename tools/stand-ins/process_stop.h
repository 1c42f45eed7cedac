#pragma once
// Ending the processes that run a program from inside a folder, as
// Get-CimInstance Win32_Process | Stop-Process -Force does.
#include <optional>
#include <string>

namespace standin {

struct StopOutcome {
  int couldNotStop = 0;              // still running: the stop was refused
  std::optional<std::string> error;  // the processes could not be listed
};

// Kills (SIGKILL) every process of the same user, the own one excepted,
// whose executable's full Windows path starts with `root` (compared with
// OrdinalIgnoreCase). Every stop is logged as ["Stop-Process", <path>] and
// obeys the fault rules of that name: a firing rule makes the stop fail, or
// with "exited" ends the process just before the stop.
StopOutcome stopProcessesUnder(const std::string& root);

}  // namespace standin
