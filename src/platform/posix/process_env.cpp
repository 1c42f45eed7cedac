#include "platform/process_env.h"

#include "common/ascii_case.h"

extern char** environ;

namespace tl::platform {

std::optional<std::string> getProcessEnvironmentVariable(std::string_view name) {
  if (name.empty()) return std::nullopt;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    if (entry.size() > name.size() && entry[name.size()] == '=' &&
        asciiEqualIgnoreCase(entry.substr(0, name.size()), name)) {
      return std::string(entry.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

}  // namespace tl::platform
