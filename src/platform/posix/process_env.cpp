#include "platform/process_env.h"

extern char** environ;

namespace tl::platform {

namespace {

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> getProcessEnvironmentVariable(std::string_view name) {
  if (name.empty()) return std::nullopt;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    if (entry.size() > name.size() && entry[name.size()] == '=' &&
        sameNameIgnoringCase(entry.substr(0, name.size()), name)) {
      return std::string(entry.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

}  // namespace tl::platform
