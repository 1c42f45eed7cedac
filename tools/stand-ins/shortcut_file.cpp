#include "shortcut_file.h"

#include <cstdint>
#include <set>

#include "text.h"

namespace standin {

namespace {

constexpr std::string_view kHeader = "[TamberlockStandInShortcut]";

}  // namespace

std::optional<Shortcut> parseShortcut(std::string_view bytes) {
  if (bytes.empty() || bytes.back() != '\n') return std::nullopt;
  Shortcut s;
  std::set<std::string> seen;
  std::size_t start = 0;
  bool first = true;
  while (start < bytes.size()) {
    std::size_t nl = bytes.find('\n', start);
    std::string_view line = bytes.substr(start, nl - start);
    start = nl + 1;
    if (line.find('\r') != std::string_view::npos) return std::nullopt;
    if (first) {
      if (line != kHeader) return std::nullopt;
      first = false;
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string key(line.substr(0, eq));
    std::string value(line.substr(eq + 1));
    if (!seen.insert(key).second) return std::nullopt;
    if (key == "TargetPath") {
      s.targetPath = value;
    } else if (key == "Arguments") {
      s.arguments = value;
    } else if (key == "WorkingDirectory") {
      s.workingDirectory = value;
    } else if (key == "IconLocation") {
      s.iconLocation = value;
    } else if (key == "WindowStyle") {
      std::int64_t v = 0;
      if (!parseInt64(value, v) || v < 0 || v > 0x7FFFFFFF) return std::nullopt;
      s.windowStyle = static_cast<int>(v);
    } else if (key == "Description") {
      s.description = value;
    } else if (key == "Hotkey") {
      s.hotkey = value;
    } else {
      return std::nullopt;
    }
  }
  if (first) return std::nullopt;
  return s;
}

std::optional<std::string> formatShortcut(const Shortcut& s) {
  for (const std::string* v : {&s.targetPath, &s.arguments, &s.workingDirectory, &s.iconLocation,
                               &s.description, &s.hotkey}) {
    if (v->find_first_of("\r\n") != std::string::npos) return std::nullopt;
  }
  std::string out = std::string(kHeader) + "\n";
  out += "TargetPath=" + s.targetPath + "\n";
  out += "Arguments=" + s.arguments + "\n";
  out += "WorkingDirectory=" + s.workingDirectory + "\n";
  out += "IconLocation=" + s.iconLocation + "\n";
  out += "WindowStyle=" + std::to_string(s.windowStyle) + "\n";
  out += "Description=" + s.description + "\n";
  out += "Hotkey=" + s.hotkey + "\n";
  return out;
}

}  // namespace standin
