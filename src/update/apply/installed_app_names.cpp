#include "update/apply/installed_app_names.h"

#include "archive/app_version.h"
#include "archive/no_follow_access.h"
#include "common/json_reader.h"
#include "platform/fs.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

struct VersionNames {
  std::string identifier;
  std::string channel;
  std::string name;
  std::string version;
  std::optional<std::string> displayName;
};

const json::Schema<VersionNames>& namesSchema() {
  using V = VersionNames;
  static const json::Schema<V> s{
      json::field<&V::identifier, json::kRequired>("identifier"),
      json::field<&V::channel, json::kRequired>("channel"),
      json::field<&V::name, json::kRequired>("name"),
      json::field<&V::version, json::kRequired>("version"),
      json::field<&V::displayName, json::kOptional>("displayName"),
  };
  return s;
}

}  // namespace

Result<InstalledAppNames> readInstalledAppNames(std::string_view appFolder, std::string_view identifier,
                                                std::string_view channel) {
  const fs::Dir folder = TRY(fs::openDir(appFolder));
  const std::string text = TRY(readArchiveFile(folder, "Resources/version.json", kMaxVersionFileBytes));
  VersionNames v;
  TRY(json::readRecord(text, namesSchema(), v, {json::Mode::lenient}));
  if (v.identifier != identifier || v.channel != channel || v.version.empty() || !isValidAppName(v.name) ||
      (v.displayName && !isValidAppName(*v.displayName))) {
    return Error::InvalidUpdateIdentity;
  }
  return InstalledAppNames{std::move(v.name), std::move(v.displayName)};
}

Result<std::string> appDisplayName(std::string_view appFolder, std::string_view identifier,
                                   std::string_view channel) {
  InstalledAppNames names = TRY(readInstalledAppNames(appFolder, identifier, channel));
  return names.displayName ? std::move(*names.displayName) : std::move(names.name);
}

}  // namespace tl
