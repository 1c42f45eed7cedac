#pragma once
// A cmd.exe batch interpreter for exactly the constructs of the system's
// self-deleting clean-up script; anything else is a Refusal.
#include <string>

namespace standin {

// Runs the script whose bytes are `bytes` (read in code page 437, as cmd.exe
// on an OEM console reads them); `scriptPath` is the script's path as cmd.exe
// was given it (for %~f0). Returns the exit status of cmd.exe /c.
int runBatch(const std::string& scriptPath, const std::string& bytes);

}  // namespace standin
