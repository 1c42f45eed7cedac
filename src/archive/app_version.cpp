#include "archive/app_version.h"

#include "archive/no_follow_access.h"
#include "common/json_reader.h"

namespace tl {

namespace {

const json::Schema<AppVersionInfo>& versionSchema() {
  static const json::Schema<AppVersionInfo> s{
      json::field<&AppVersionInfo::identifier, json::kRequired>("identifier"),
      json::field<&AppVersionInfo::name, json::kNullable>("name"),
      json::field<&AppVersionInfo::displayName, json::kOptional>("displayName"),
      json::field<&AppVersionInfo::channel, json::kRequired>("channel"),
      json::field<&AppVersionInfo::version, json::kRequired>("version"),
      json::field<&AppVersionInfo::hash, json::kRequired>("hash"),
      json::field<&AppVersionInfo::baseUrl, json::kOptional>("baseUrl"),
  };
  return s;
}

}  // namespace

Result<AppVersionInfo> parseAppVersion(std::string_view text) {
  AppVersionInfo info;
  TRY(json::readRecord(text, versionSchema(), info, {json::Mode::lenient}));
  return info;
}

Result<AppVersionInfo> readAppVersion(const fs::Dir& bundleDir) {
  const std::string text = TRY(readArchiveFile(bundleDir, "Resources/version.json", kMaxVersionFileBytes));
  return parseAppVersion(text);
}

}  // namespace tl
