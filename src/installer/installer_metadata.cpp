#include "installer/installer_metadata.h"

#include "common/json_reader.h"
#include "common/paths.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

const json::Schema<InstallerMetadata>& sideSchema() {
  static const json::Schema<InstallerMetadata> s{
      json::field<&InstallerMetadata::identifier, json::kRequired>("identifier"),
      json::field<&InstallerMetadata::name, json::kRequired>("name"),
      json::field<&InstallerMetadata::channel, json::kRequired>("channel"),
      json::field<&InstallerMetadata::hash, json::kOptional>("hash"),
      json::field<&InstallerMetadata::install_root_name, json::kOptional>("install_root_name"),
  };
  return s;
}

// The appended block knows no install root name: that key is UnknownField.
const json::Schema<InstallerMetadata>& embeddedSchema() {
  static const json::Schema<InstallerMetadata> s{
      json::field<&InstallerMetadata::identifier, json::kRequired>("identifier"),
      json::field<&InstallerMetadata::name, json::kRequired>("name"),
      json::field<&InstallerMetadata::channel, json::kRequired>("channel"),
      json::field<&InstallerMetadata::hash, json::kNullable>("hash"),
  };
  return s;
}

}  // namespace

Result<InstallerMetadata> parseSideInstallerMetadata(std::string_view text) {
  TRY(json::checkSize(text, kInstallerMetadataCap, Error::StreamTooLong));
  InstallerMetadata m;
  TRY(json::readRecord(text, sideSchema(), m, {json::Mode::lenient}));
  return m;
}

Result<InstallerMetadata> parseInstallerMetadata(std::string_view text) {
  TRY(json::checkSize(text, kInstallerMetadataCap, Error::StreamTooLong));
  InstallerMetadata m;
  TRY(json::readRecord(text, embeddedSchema(), m, {json::Mode::strict}));
  return m;
}

bool passesIdentityRule(const InstallerMetadata& m) {
  return isValidFileName(m.identifier) && isKnownChannel(m.channel);
}

}  // namespace tl
