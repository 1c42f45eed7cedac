#pragma once
// The roles of the multi-call stand-in; each takes the arguments after the
// program path and returns the exit status. Refusal and ToolFailure
// (standin_error.h) end a run early.
#include <string>
#include <vector>

namespace standin {

using Args = std::vector<std::string>;

int runReg(const Args& args);
int runSchtasks(const Args& args);
int runPowerShell(const Args& args);
int runCmd(const Args& args);
int runPing(const Args& args);

}  // namespace standin
