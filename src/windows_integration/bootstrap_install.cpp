#include "windows_integration/bootstrap_install.h"

#include <optional>
#include <string>

#include "archive/app_version.h"
#include "common/diagnostics.h"
#include "common/json_reader.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "windows_integration/install_root.h"
#include "windows_integration/integration_driver.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

struct BootstrapVersionRecord {
  std::string name;
  std::string identifier;
  std::string version;
  std::string channel;
  std::optional<std::string> displayName;
  std::optional<std::string> hash;
};

const json::Schema<BootstrapVersionRecord>& bootstrapVersionSchema() {
  static const json::Schema<BootstrapVersionRecord> s{
      json::field<&BootstrapVersionRecord::name, json::kRequired>("name"),
      json::field<&BootstrapVersionRecord::identifier, json::kRequired>("identifier"),
      json::field<&BootstrapVersionRecord::version, json::kRequired>("version"),
      json::field<&BootstrapVersionRecord::channel, json::kRequired>("channel"),
      json::field<&BootstrapVersionRecord::displayName, json::kNullable>("displayName"),
      json::field<&BootstrapVersionRecord::hash, json::kNullable>("hash"),
  };
  return s;
}

// The identity the bootstrap hands to the integration.
struct BootstrapAppInfo {
  std::string identifier;
  std::string displayText;
  std::string channel;
  std::optional<std::string> hash;
};

Result<BootstrapAppInfo> readBootstrapAppInfo(std::string_view versionPath) {
  std::string text = TRY(fs::readFile(versionPath, kMaxVersionFileBytes));
  BootstrapVersionRecord r;
  TRY(json::readRecord(text, bootstrapVersionSchema(), r, {json::Mode::lenient}));
  BootstrapAppInfo info;
  info.identifier = r.identifier;
  info.displayText = r.displayName ? *r.displayName : r.name;
  info.channel = r.channel;
  info.hash = r.hash;
  if (r.version.empty() || !isValidAppName(info.displayText) || !isValidFileName(info.identifier) ||
      !isKnownChannel(info.channel) || (info.hash && !isValidFileName(*info.hash))) {
    return Error::InvalidInstalledIdentity;
  }
  return info;
}

}  // namespace

Status bootstrapInstall(std::string_view requestedRoot) {
  markBootstrapStep("windows: resolve executable");
  std::string own = TRY(process::ownExecutablePath());

  markBootstrapStep("windows: locate bundled invocation");
  ManagerInstallRoot where = TRY(installRootFromManagerPath(own, true));

  markBootstrapStep("windows: validate requested root");
  if (!where.inAppBundle || !isAbsolutePath(requestedRoot) || isDriveRelativePath(requestedRoot)) {
    return Error::InvalidUninstallLocation;
  }
  if (!TRY(pathsEqualIgnoreCase(requestedRoot, where.root))) return Error::InvalidUninstallLocation;

  markBootstrapStep("windows: locate version metadata");
  const std::string appDir = joinPath({requestedRoot, "app"});
  const std::string versionPath = joinPath({appDir, "Resources", "version.json"});

  markBootstrapStep("windows: read version metadata");
  BootstrapAppInfo info = TRY(readBootstrapAppInfo(versionPath));

  markBootstrapStep("windows: install integration");
  IntegrationIdentity identity;
  identity.identifier = info.identifier;
  identity.name = info.displayText;
  identity.channel = info.channel;
  if (info.hash) identity.buildHash = *info.hash;
  identity.installRootName = lastComponent(requestedRoot);
  TRY(integrateWindows(appDir, identity));

  markBootstrapStep("windows: complete");
  return success();
}

}  // namespace tl
