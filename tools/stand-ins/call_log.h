#pragma once
// The call log, state\calls.log: one JSON array per line, the role first and
// then the arguments after the program path, for tests to read.
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// Appends one line; the caller holds the StateLock.
void logCall(std::string_view role, const std::vector<std::string>& args);

}  // namespace standin
