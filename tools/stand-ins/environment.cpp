#include "environment.h"

#include "text.h"
#include "win_path.h"

extern char** environ;

namespace standin {

namespace {

bool isFolderVariable(std::string_view name) {
  for (std::string_view v : {"SystemRoot", "LOCALAPPDATA", "USERPROFILE", "APPDATA", "TEMP", "TMP"}) {
    if (equalsAsciiIgnoreCase(name, v)) return true;
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> loadEnvironment() {
  std::vector<std::pair<std::string, std::string>> vars;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry = *e;
    std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    std::string name(entry.substr(0, eq));
    std::string value(entry.substr(eq + 1));
    if (isFolderVariable(name) && !value.empty() && value[0] == '/') value = hostToWindows(value);
    vars.emplace_back(std::move(name), std::move(value));
  }
  return vars;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& envAll() {
  static const std::vector<std::pair<std::string, std::string>> vars = loadEnvironment();
  return vars;
}

std::optional<std::string> envGet(std::string_view name) {
  const auto& vars = envAll();
  for (const auto& [n, v] : vars) {
    if (n == name) return v;
  }
  for (const auto& [n, v] : vars) {
    if (equalsAsciiIgnoreCase(n, name)) return v;
  }
  return std::nullopt;
}

std::string expandEnvironmentVariables(std::string_view text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t open = text.find('%', pos);
    if (open == std::string_view::npos) break;
    std::size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos) break;
    out.append(text.substr(pos, open - pos));
    std::string_view name = text.substr(open + 1, close - open - 1);
    std::optional<std::string> value = name.empty() ? std::nullopt : envGet(name);
    if (value) {
      out += *value;
      pos = close + 1;
    } else {
      out += '%';
      out.append(name);
      pos = close;  // the closing '%' may start the next name
    }
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace standin
