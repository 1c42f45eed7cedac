// version.json is written by build tooling outside the system and read from
// bundles the updater downloads: parsing must never crash, and what it
// accepts, written out again, must read back as the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "archive/app_version.h"
#include "common/json_writer.h"

namespace {

void member(std::string& out, std::string_view key, const std::optional<std::string>& value) {
  if (out.size() > 1) out += ',';
  tl::json::appendQuoted(out, key);
  out += ':';
  if (value) {
    tl::json::appendString(out, *value);
  } else {
    out += "null";
  }
}

std::string write(const tl::AppVersionInfo& v) {
  std::string out = "{";
  member(out, "identifier", v.identifier);
  member(out, "name", v.name);
  if (v.displayName) member(out, "displayName", v.displayName);
  member(out, "channel", v.channel);
  member(out, "version", v.version);
  member(out, "hash", v.hash);
  if (v.baseUrl) member(out, "baseUrl", v.baseUrl);
  out += '}';
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = tl::parseAppVersion(text);
  if (!parsed.ok()) return 0;
  auto again = tl::parseAppVersion(write(*parsed));
  if (!again.ok()) std::abort();
  const tl::AppVersionInfo& a = *parsed;
  const tl::AppVersionInfo& b = *again;
  if (a.identifier != b.identifier || a.name != b.name || a.displayName != b.displayName || a.channel != b.channel ||
      a.version != b.version || a.hash != b.hash || a.baseUrl != b.baseUrl) {
    std::abort();
  }
  return 0;
}
