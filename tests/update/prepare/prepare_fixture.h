#pragma once
// What the preparation's tests share: requests written as JSON text from a
// map of members, and a snapshot of a folder tree to see that nothing in it
// changed.
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "common/json_writer.h"
#include "installer/installer_fixture.h"

namespace tl::test {

inline constexpr const char* kTransactionId = "0123456789abcdef0123456789abcdef";

inline std::string jsonText(std::string_view text) {
  std::string out;
  json::appendQuoted(out, text);
  return out;
}

// The members of a valid request for the demo application installed in
// `channelRoot` (Windows form) at build b<base>, asking for build `hash`.
inline std::map<std::string, std::string> requestMembers(const std::string& channelRoot, const std::string& baseUrl,
                                                         const std::string& baseHash, const std::string& hash,
                                                         const std::string& version) {
  return {
      {"schema_version", "1"},
      {"transaction_id", jsonText(kTransactionId)},
      {"identifier", jsonText(kAppId)},
      {"channel", jsonText("stable")},
      {"version", jsonText(version)},
      {"hash", jsonText(hash)},
      {"platform", jsonText("win")},
      {"arch", jsonText("x64")},
      {"base_url", jsonText(baseUrl)},
      {"base_hash", jsonText(baseHash)},
      {"channel_root", jsonText(channelRoot)},
      {"artifact_file", jsonText("stable-win-x64-" + version + ".tar.zst")},
      {"app_bundle_path", jsonText(channelRoot + "\\app")},
  };
}

// "{" prefix members... "}" suffix
inline std::string requestText(const std::map<std::string, std::string>& members, const std::string& prefix = "",
                               const std::string& suffix = "") {
  std::string text = "{" + prefix;
  bool first = true;
  for (const auto& [key, value] : members) {
    text += (first ? "" : ",") + jsonText(key) + ":" + value;
    first = false;
  }
  return text + "}" + suffix;
}

inline std::string requestFileName() { return std::string(".tamberlock-prepare-") + kTransactionId + ".json"; }

// Everything below a host folder and what it holds.
inline std::map<std::string, std::string> snapshot(const std::string& hostRoot) {
  std::map<std::string, std::string> out;
  for (const std::string& rel : treeOf(hostRoot)) {
    const std::string host = hostRoot + "/" + rel;
    out[rel] = std::filesystem::is_directory(host) ? "(folder)" : IntegrationSandbox::readHost(host);
  }
  return out;
}

}  // namespace tl::test
