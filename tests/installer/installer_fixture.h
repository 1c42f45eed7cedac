#pragma once
// Application archives and installer payloads for the installer's tests: a
// small application tree as tar (tests/support/tar_builder.h), compressed
// with libzstd, and the sandbox the installation writes into.
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "installer/installer_metadata.h"
#include "platform/io_context.h"
#include "support/tar_builder.h"
#include "windows_integration/integration_sandbox.h"

namespace tl {

// Errors by name in test failure messages.
inline void PrintTo(Error e, std::ostream* os) { *os << errorName(e); }

}  // namespace tl

namespace tl::test {

inline constexpr const char* kAppId = "com.example.demo";

// One frame, level 3.
inline std::string zstdCompress(std::string_view data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  std::size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
  if (ZSTD_isError(n)) return {};
  out.resize(n);
  return out;
}

// The application "DemoApp" at a version: what every installed tree holds.
inline TarBuilder demoAppTar(std::string_view version, const std::string& root = "DemoApp") {
  TarBuilder t;
  t.dir(root)
      .dir(root + "/bin")
      .file(root + "/bin/launcher.exe", "#!/bin/sh\nexit 0\n", 0755)
      .dir(root + "/Resources")
      .file(root + "/Resources/uninstall", "manager bytes")
      .file(root + "/Resources/version.json", "{\"version\":\"" + std::string(version) + "\"}")
      .file(root + "/Resources/v" + std::string(version) + ".dat", std::string(3000, 'v'));
  return t;
}

inline InstallerMetadata demoMetadata(std::string_view hash = "build1") {
  InstallerMetadata m;
  m.identifier = kAppId;
  m.name = "Demo App";
  m.channel = "stable";
  if (!hash.empty()) m.hash = std::string(hash);
  return m;
}

// Every entry below a host folder, as sorted relative paths ("a/b"); links
// are listed, not followed.
inline std::vector<std::string> treeOf(const std::string& hostFolder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(hostFolder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    out.push_back(std::filesystem::relative(it->path(), hostFolder).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline bool hostExists(const std::string& hostPath) {
  struct stat st {};
  return ::lstat(hostPath.c_str(), &st) == 0;
}

inline bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Fails every `op` on a path ending in `tail` with `e`.
inline FaultHook failOn(FsOp op, std::string tail, Error e) {
  return [op, tail, e](FsOp o, std::string_view path) -> Status {
    if (o == op && endsWith(path, tail)) return e;
    return success();
  };
}

// A fault hook for the test's lifetime.
class FaultGuard {
 public:
  explicit FaultGuard(FaultHook hook) { io().setFaultHook(std::move(hook)); }
  ~FaultGuard() { io().setFaultHook(nullptr); }
  FaultGuard(const FaultGuard&) = delete;
  FaultGuard& operator=(const FaultGuard&) = delete;
};


// The sandbox and the channel root of the demo application in it.
class InstallerSandbox {
 public:
  InstallerSandbox() { box.makeDirs(channelRel("")); }

  std::string channelRel(std::string_view rel) const {
    std::string base = box.userRel("AppData/Local/" + std::string(kAppId) + "/stable");
    return rel.empty() ? base : base + "/" + std::string(rel);
  }
  std::string host(std::string_view rel) const { return box.host(channelRel(rel)); }
  std::string win(std::string_view rel) const { return box.win(channelRel(rel)); }
  std::string appDir() const { return win("app"); }
  std::string selfExtractionDir() const { return win("self-extraction"); }

  IntegrationSandbox box;
};

}  // namespace tl::test
