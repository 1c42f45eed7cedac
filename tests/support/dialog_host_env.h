#pragma once
// Turns the headless dialog host on for one test: a fresh log file, no
// script and no autoclose unless the test asks, and the environment put back
// afterwards. Header-only: test programs link no support library.
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/task_dialog.h"
#include "support/temp_dir.h"

namespace tl::test {

class DialogHostEnv {
 public:
  DialogHostEnv() {
    clear();
    ::setenv("TAMBERLOCK_POSIX_UI_LOG", logPath().c_str(), 1);
    platform::resetTaskDialogHostForTesting();
  }
  ~DialogHostEnv() {
    clear();
    platform::resetTaskDialogHostForTesting();
  }
  DialogHostEnv(const DialogHostEnv&) = delete;
  DialogHostEnv& operator=(const DialogHostEnv&) = delete;

  // No display at all: neither the log nor a script.
  static void noDisplay() {
    clear();
    platform::resetTaskDialogHostForTesting();
  }
  void script(std::string_view actions) { ::setenv("TAMBERLOCK_POSIX_UI_SCRIPT", std::string(actions).c_str(), 1); }
  void autoclose(std::string_view value) {
    ::setenv("TAMBERLOCK_INSTALLER_UI_AUTOCLOSE", std::string(value).c_str(), 1);
  }

  std::string logPath() const { return dir_.host("ui.log"); }
  std::string text() const {
    std::ifstream in(logPath());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The events of one dialog, without the "dialog <n> " prefix.
  std::vector<std::string> events(int dialog = 1) const {
    std::vector<std::string> out;
    std::string prefix = "dialog " + std::to_string(dialog) + " ";
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    }
    return out;
  }
  // The events of one dialog that begin with `start` (e.g. "content ").
  std::vector<std::string> events(int dialog, std::string_view start) const {
    std::vector<std::string> out;
    for (const std::string& e : events(dialog)) {
      if (e.rfind(start, 0) == 0) out.push_back(e);
    }
    return out;
  }
  bool has(int dialog, std::string_view event) const {
    for (const std::string& e : events(dialog)) {
      if (e == event) return true;
    }
    return false;
  }

 private:
  static void clear() {
    ::unsetenv("TAMBERLOCK_POSIX_UI_LOG");
    ::unsetenv("TAMBERLOCK_POSIX_UI_SCRIPT");
    ::unsetenv("TAMBERLOCK_INSTALLER_UI_AUTOCLOSE");
  }
  TempDir dir_;
};

}  // namespace tl::test
