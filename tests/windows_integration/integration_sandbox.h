#pragma once
// A miniature Windows for tests that drive the stand-in tools in-process:
// <root>\Windows\System32 links to the stand-ins, <root>\Windows\state holds
// their state (registry, shortcuts, call log, fault rules), and the user's
// folders sit beside it. The environment map is set so that the system and
// the stand-ins it starts both see this sandbox.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_line.h"
#include "platform/env.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace tl::test {

class IntegrationSandbox {
 public:
  explicit IntegrationSandbox(std::string_view userName = "user", std::string_view windowsName = "Windows")
      : user_(userName), windows_(windowsName) {
    const std::string standins = std::string(TL_BUILD_DIR) + "/windows/System32";
    struct stat st {};
    if (::stat((standins + "/reg.exe").c_str(), &st) != 0) {
      ADD_FAILURE() << "no stand-ins in " << standins << ": build the standin target first";
    }
    makeDirs(windows_ + "/System32/WindowsPowerShell/v1.0");
    makeDirs(windows_ + "/state");
    for (const char* tool : {"reg.exe", "cmd.exe", "ping.exe", "schtasks.exe"}) {
      link(standins + "/" + tool, windows_ + "/System32/" + std::string(tool));
    }
    link(standins + "/WindowsPowerShell/v1.0/powershell.exe",
         windows_ + "/System32/WindowsPowerShell/v1.0/powershell.exe");
    makeDirs(userRel("AppData/Local/Temp"));
    makeDirs(userRel("AppData/Roaming"));
    vars_ = {{"SystemRoot", win(windows_)},
             {"USERPROFILE", win(userRel(""))},
             {"LOCALAPPDATA", win(userRel("AppData/Local"))},
             {"APPDATA", win(userRel("AppData/Roaming"))},
             {"TEMP", win(userRel("AppData/Local/Temp"))},
             {"TMP", win(userRel("AppData/Local/Temp"))}};
    applyEnv();
  }

  ~IntegrationSandbox() { env::setForTesting({}); }

  void setEnv(const std::string& name, const std::string& value) {
    vars_[name] = value;
    applyEnv();
  }

  std::string host(std::string_view rel) const { return dir_.host(rel); }
  std::string win(std::string_view rel) const { return dir_.win(rel); }
  std::string userRel(std::string_view rel) const {
    return "Users/" + user_ + (rel.empty() ? "" : "/" + std::string(rel));
  }

  std::string localAppData() const { return win(userRel("AppData/Local")); }
  std::string tempDir() const { return win(userRel("AppData/Local/Temp")); }
  std::string desktopDir() const { return win(userRel("Desktop")); }
  std::string startMenuDir() const {
    return win(userRel("AppData/Roaming/Microsoft/Windows/Start Menu/Programs"));
  }

  void makeDirs(std::string_view rel) const {
    std::string path = dir_.hostPath();
    std::string r(rel);
    std::size_t start = 0;
    while (start <= r.size()) {
      std::size_t slash = r.find('/', start);
      if (slash == std::string::npos) slash = r.size();
      path += "/" + r.substr(start, slash - start);
      ::mkdir(path.c_str(), 0755);
      start = slash + 1;
    }
  }

  void writeFile(std::string_view rel, std::string_view bytes) const {
    std::ofstream out(host(rel), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::string readFile(std::string_view rel) const { return readHost(host(rel)); }
  bool exists(std::string_view rel) const {
    struct stat st {};
    return ::lstat(host(rel).c_str(), &st) == 0;
  }

  static std::string readHost(const std::string& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // One fault rule line for the stand-ins (role, patterns, "=> exit N times N").
  void addFault(std::string_view rule) const {
    std::ofstream out(host(windows_ + "/state/faults"), std::ios::binary | std::ios::app);
    out << rule << "\n";
  }

  // The stand-ins' call log, one JSON array of role and arguments a line.
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::string text = readHost(host(windows_ + "/state/calls.log"));
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t nl = text.find('\n', start);
      lines.push_back(text.substr(start, nl - start));
      start = nl + 1;
    }
    return lines;
  }
  void clearCalls() const { ::unlink(host(windows_ + "/state/calls.log").c_str()); }
  // A file of the stand-ins' state folder ("ping-ms", "shell-folders").
  void writeState(std::string_view name, std::string_view bytes) const {
    writeFile(windows_ + "/state/" + std::string(name), bytes);
  }

  // The self-deleting clean-up scripts still in the temporary folder.
  std::vector<std::string> cleanupScripts() const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(host(userRel("AppData/Local/Temp")).c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (std::string_view(e->d_name).rfind("tamberlock-cleanup-", 0) == 0) names.push_back(e->d_name);
      }
      ::closedir(d);
    }
    return names;
  }

  // Runs a stand-in as a test would from a console and returns its output.
  process::CaptureResult runTool(std::vector<std::string> argv) const {
    auto r = process::runCapture(argv[0], buildCommandLine(argv).value(), 1 << 20);
    return r.ok() ? r.take() : process::CaptureResult{};
  }

  std::string regQuery(const std::string& key) const {
    return runTool({win(windows_ + "/System32/reg.exe"), "query", key, "/reg:64"}).out;
  }

  // An unpacked application in <LocalAppData>\<identifier>\<folder>\app.
  std::string makeApp(const std::string& identifier, const std::string& folder,
                      std::string_view version = "{\"version\":\"1.2.3\"}") const {
    std::string app = userRel("AppData/Local/" + identifier + "/" + folder + "/app");
    makeDirs(app + "/bin");
    makeDirs(app + "/Resources");
    writeFile(app + "/bin/launcher.exe", "launcher");
    writeFile(app + "/Resources/uninstall", "manager bytes");
    if (!version.empty()) writeFile(app + "/Resources/version.json", version);
    return win(app);
  }

 private:
  void link(const std::string& target, std::string_view rel) const {
    ::symlink(target.c_str(), host(rel).c_str());
  }
  void applyEnv() const { env::setForTesting(vars_); }

  TempDir dir_;
  std::string user_;
  std::string windows_;
  std::map<std::string, std::string> vars_;
};

}  // namespace tl::test
