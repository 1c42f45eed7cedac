#include "windows_integration/registry_entry.h"

#include "archive/app_version.h"
#include "common/diagnostics.h"
#include "common/json_reader.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "windows_integration/shell_shortcuts.h"
#include "windows_integration/tool_runner.h"

namespace tl {

namespace {

constexpr std::string_view kUninstallRoot = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

struct RegistryValue {
  std::string_view name;
  std::string_view type;
  std::string data;
};

struct VersionFile {
  std::string version;
};

const json::Schema<VersionFile>& versionFileSchema() {
  static const json::Schema<VersionFile> schema{
      json::field<&VersionFile::version, json::kRequired>("version"),
  };
  return schema;
}

Result<std::string> parseVersionKey(std::string_view bytes) {
  VersionFile file;
  TRY(json::readRecord(bytes, versionFileSchema(), file, {json::Mode::lenient}));
  if (file.version.empty()) return Error::InvalidAppVersion;
  return std::move(file.version);
}

std::string quoted(std::string_view path) {
  std::string s = "\"";
  s += path;
  s += '"';
  return s;
}

std::vector<std::string> regDelete(const std::string& reg, const std::string& key) {
  return {reg, "delete", key, "/f", "/reg:64"};
}

}  // namespace

Result<std::string> uninstallRegistryKey(std::string_view identifier, std::string_view channel) {
  if (!isValidFileName(identifier) || !isValidFileName(channel)) return Error::InvalidInstallIdentity;
  std::string key(kUninstallRoot);
  key += '\\';
  key += identifier;
  key += '.';
  key += channel;
  return key;
}

void warnRegistrationCleanupFailed(std::string_view key) {
  diagLine({"Warning: Could not clean up incomplete Windows uninstaller registration: ", key});
}

std::string installedVersionText(std::string_view appDir) {
  std::string path = joinPath({appDir, "Resources", "version.json"});
  Result<std::string> bytes = fs::readFile(path, kMaxVersionFileBytes);
  if (!bytes) {
    diagLine({"Warning: Could not read installed version metadata at ", path, ": ", bytes.error()});
    return "0.0.0";
  }
  Result<std::string> version = parseVersionKey(*bytes);
  if (!version) {
    diagLine({"Warning: Could not parse installed version metadata at ", path, ": ", version.error()});
    return "0.0.0";
  }
  return version.take();
}

Status registerUninstallEntry(const UninstallManifest& manifest, std::string_view appDir,
                              std::string_view managerPath) {
  std::string key = TRY(uninstallRegistryKey(manifest.identifier, manifest.channel));
  std::string reg = TRY(systemToolPath("reg.exe"));
  std::string launcher = joinPath({appDir, "bin", "launcher.exe"});
  const RegistryValue values[] = {
      {"DisplayName", "REG_SZ", channelDisplayName(manifest.name, manifest.channel)},
      {"DisplayVersion", "REG_SZ", installedVersionText(appDir)},
      {"DisplayIcon", "REG_SZ", quoted(launcher) + ",0"},
      {"InstallLocation", "REG_SZ", std::string(appDir)},
      {"UninstallString", "REG_SZ", quoted(managerPath) + " --uninstall"},
      {"QuietUninstallString", "REG_SZ", quoted(managerPath) + " --uninstall --quiet"},
      {"NoModify", "REG_DWORD", "1"},
      {"NoRepair", "REG_DWORD", "1"},
  };

  // Only a key that this run creates may be removed when a write fails.
  QuietRunResult query = TRY(runCommandQuietly({reg, "query", key, "/reg:64"}));
  bool preExisting = query.succeeded;

  for (const RegistryValue& v : values) {
    Status added = runCommandStrict({reg, "add", key, "/v", std::string(v.name), "/t",
                                     std::string(v.type), "/d", v.data, "/f", "/reg:64"});
    if (added) continue;
    if (!preExisting) {
      Result<QuietRunResult> removed = runCommandQuietly(regDelete(reg, key));
      if (!removed || !removed->succeeded) warnRegistrationCleanupFailed(key);
    }
    return added.error();
  }
  diagLine({"Registered Windows uninstaller: ", key});
  return success();
}

Status deleteRegistryKey(std::string_view identifier, std::string_view channel) {
  std::string key = TRY(uninstallRegistryKey(identifier, channel));
  std::string reg = TRY(systemToolPath("reg.exe"));
  return runCommandStrict(regDelete(reg, key));
}

}  // namespace tl
