#include "platform/env.h"

#include <mutex>

#include "common/ascii_case.h"

extern char** environ;

namespace tl::env {

namespace {

struct NameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      char x = asciiLowerChar(a[i]);
      char y = asciiLowerChar(b[i]);
      if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
  }
};

using Map = std::map<std::string, std::string, NameLess>;

struct State {
  std::mutex mutex;
  Map vars;
  bool built = false;
};

State& state() {
  static State s;
  return s;
}

bool isFolderVariable(std::string_view name) {
  static constexpr std::string_view kNames[] = {"LOCALAPPDATA", "USERPROFILE", "APPDATA",
                                                "TEMP",         "TMP",         "SystemRoot"};
  NameLess less;
  for (std::string_view k : kNames) {
    if (!less(k, name) && !less(name, k)) return true;
  }
  return false;
}

// "/tmp/x" is "Z:\tmp\x": the folder variables get the one spelling that
// every path comparison of the system expects.
std::string windowsValue(std::string_view name, std::string_view value) {
  std::string out(value);
  if (!isFolderVariable(name) || value.empty() || value[0] != '/') return out;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return "Z:" + out;
}

void put(Map& vars, std::string_view name, std::string_view value) {
  auto it = vars.find(name);
  std::string v = windowsValue(name, value);
  if (it == vars.end()) {
    vars.emplace(std::string(name), std::move(v));
  } else {
    it->second = std::move(v);
  }
}

Map fromProcess() {
  Map vars;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    // The name is never empty; searching from the second byte keeps a name
    // that begins with '=' whole, as Windows does.
    std::size_t eq = entry.size() > 1 ? entry.find('=', 1) : std::string_view::npos;
    if (eq == std::string_view::npos) continue;
    std::string_view name = entry.substr(0, eq);
    // The first of two spellings of one name wins, as a lookup in the
    // environment block would find it first.
    if (vars.find(name) != vars.end()) continue;
    put(vars, name, entry.substr(eq + 1));
  }
  return vars;
}

void ensureBuilt(State& s) {
  if (!s.built) {
    s.vars = fromProcess();
    s.built = true;
  }
}

}  // namespace

void buildFromProcess() {
  Map vars = fromProcess();
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.vars = std::move(vars);
  s.built = true;
}

void setForTesting(const std::map<std::string, std::string>& vars) {
  Map fresh;
  for (const auto& [name, value] : vars) put(fresh, name, value);
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.vars = std::move(fresh);
  s.built = true;
}

void setVar(std::string_view name, std::optional<std::string_view> value) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ensureBuilt(s);
  if (value) {
    // A new spelling of the name replaces the old one with the value.
    auto it = s.vars.find(name);
    if (it != s.vars.end()) s.vars.erase(it);
    put(s.vars, name, *value);
  } else {
    auto it = s.vars.find(name);
    if (it != s.vars.end()) s.vars.erase(it);
  }
}

std::optional<std::string> get(std::string_view name) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ensureBuilt(s);
  auto it = s.vars.find(name);
  if (it == s.vars.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> block() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ensureBuilt(s);
  std::vector<std::string> out;
  out.reserve(s.vars.size());
  for (const auto& [name, value] : s.vars) out.push_back(name + "=" + value);
  return out;
}

}  // namespace tl::env
