#pragma once
// Fault rules, state\faults: tests make chosen calls fail. The format is in
// README.md; in short, "<role> <pattern>... [=> [exit N | exited] [times N]]".
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct FiredFault {
  int exitCode = 1;
  int line = 0;         // 1-based line of the rule in the file
  bool exited = false;  // Stop-Process: the process ends just before the stop
};

// The first rule matching the call, when any; a rule limited by "times" is
// counted down in the file. The caller holds the StateLock. A malformed
// rules file is a Refusal.
std::optional<FiredFault> matchFault(std::string_view role, const std::vector<std::string>& args);

}  // namespace standin
