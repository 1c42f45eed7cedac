#include "windows_integration/uninstall_manifest.h"

#include <memory>
#include <utility>

#include "common/atomic_write.h"
#include "common/hex.h"
#include "common/install_layout.h"
#include "common/json_reader.h"
#include "common/json_writer.h"
#include "common/paths.h"
#include "common/plain_text.h"
#include "common/wtf8.h"
#include "native_ui/native_file.h"
#include "platform/fs.h"
#include "platform/io_context.h"
#include "windows_integration/shell_shortcuts.h"

namespace tl {

namespace {

constexpr std::size_t kMaxNameBytes = 240;

bool dataPathVersionsAcceptable(const std::optional<std::vector<std::uint32_t>>& versions) {
  return !versions || (versions->size() == 1 && (*versions)[0] == 1);
}

Status checkSamePath(std::string_view recorded, std::string_view expected) {
  bool same = TRY(pathsEqualIgnoreCase(recorded, expected));
  if (!same) return Error::InvalidUninstallManifest;
  return success();
}

const json::Schema<UninstallManifest>& manifestSchema() {
  static const json::Schema<UninstallManifest> schema{
      json::field<&UninstallManifest::schema_version, json::kRequired>("schema_version"),
      json::field<&UninstallManifest::install_nonce, json::kRequired>("install_nonce"),
      json::field<&UninstallManifest::identifier, json::kRequired>("identifier"),
      json::field<&UninstallManifest::name, json::kRequired>("name"),
      json::field<&UninstallManifest::channel, json::kRequired>("channel"),
      json::field<&UninstallManifest::desktop_shortcut, json::kRequired>("desktop_shortcut"),
      json::field<&UninstallManifest::start_menu_shortcut, json::kRequired>("start_menu_shortcut"),
      json::field<&UninstallManifest::install_root_name, json::kNullable>("install_root_name"),
      json::field<&UninstallManifest::data_path_versions, json::kNullable>("data_path_versions"),
  };
  return schema;
}

// A member's line start: two spaces, the quoted key, a colon and a space.
void appendKey(std::string& out, std::string_view key) {
  out += "  \"";
  out += key;
  out += "\": ";
}

// An array of unsigned numbers laid out one element per line below its
// member's line.
template <class Elements, class ToNumber>
void appendArray(std::string& out, const Elements& elements, ToNumber toNumber) {
  if (elements.empty()) {
    out += "[]";
    return;
  }
  out += "[\n";
  bool first = true;
  for (auto e : elements) {
    if (!first) out += ",\n";
    first = false;
    out += "    ";
    json::appendUnsigned(out, toNumber(e));
  }
  out += "\n  ]";
}

// Text that is not valid UTF-8 (an unpaired surrogate of a Windows path)
// is written as the array of its bytes.
void appendText(std::string& out, std::string_view text) {
  if (json::needsByteArray(text)) {
    appendArray(out, text, [](char c) { return static_cast<unsigned char>(c); });
  } else {
    json::appendQuoted(out, text);
  }
}


}  // namespace

std::string serializeUninstallManifest(const UninstallManifest& m) {
  std::string out = "{\n";
  appendKey(out, "schema_version");
  json::appendUnsigned(out, m.schema_version);
  const std::pair<std::string_view, const std::string*> texts[] = {
      {"install_nonce", &m.install_nonce},       {"identifier", &m.identifier},
      {"name", &m.name},                        {"channel", &m.channel},
      {"desktop_shortcut", &m.desktop_shortcut}, {"start_menu_shortcut", &m.start_menu_shortcut},
  };
  for (const auto& [key, value] : texts) {
    out += ",\n";
    appendKey(out, key);
    appendText(out, *value);
  }
  out += ",\n";
  appendKey(out, "install_root_name");
  if (m.install_root_name) {
    appendText(out, *m.install_root_name);
  } else {
    out += "null";
  }
  out += ",\n";
  appendKey(out, "data_path_versions");
  if (m.data_path_versions) {
    appendArray(out, *m.data_path_versions, [](std::uint32_t v) { return v; });
  } else {
    out += "null";
  }
  out += "\n}";
  return out;
}

Status writeUninstallManifest(std::string_view manifestPath, const UninstallManifest& manifest) {
  return writeFileAtomically(manifestPath, serializeUninstallManifest(manifest));
}

Result<UninstallManifest> parseUninstallManifestJson(std::string_view bytes) {
  UninstallManifest manifest;
  TRY(json::readRecord(bytes, manifestSchema(), manifest, {json::Mode::lenient}));
  return manifest;
}

std::string newRandomHexId() {
  std::uint8_t bytes[16];
  io().randomBytes(bytes, sizeof bytes);
  return toLowerHex(bytes, sizeof bytes);
}

bool isValidAppName(std::string_view name) { return isPlainText(name, kMaxNameBytes); }

bool isKnownChannel(std::string_view channel) {
  return channel == "stable" || channel == "canary" || channel == "dev";
}

bool matchesInstallRootName(std::string_view root, std::string_view channel, std::string_view name,
                            std::optional<std::string_view> installRootName) {
  std::string_view component = lastComponent(root);
  if (asciiEqualIgnoreCase(component, channel)) return true;
  std::string_view expected = installRootName ? *installRootName : name;
  return isValidFileName(expected) && asciiEqualIgnoreCase(component, expected);
}

Status checkUninstallManifestFields(const UninstallManifest& m, std::string_view channelRoot) {
  std::optional<std::string_view> rootName;
  if (m.install_root_name) rootName = *m.install_root_name;
  bool ok = m.schema_version == 1 && isHex32AnyCase(m.install_nonce) &&
            isValidFileName(m.identifier) && isKnownChannel(m.channel) && isValidAppName(m.name) &&
            matchesInstallRootName(channelRoot, m.channel, m.name, rootName) &&
            dataPathVersionsAcceptable(m.data_path_versions);
  if (!ok) return Error::InvalidUninstallManifest;
  return success();
}

Result<UninstallManifest> readUninstallManifest(std::string_view manifestPath,
                                                std::string_view channelRoot) {
  // The handle stays open over the read, so the stat'ed file is the one read.
  fs::File file = TRY(fs::openFileRead(manifestPath));
  fs::FileStat st = TRY(fs::statFile(file));
  if (st.kind != fs::FileKind::File || st.size > kMaxManifestBytes) {
    return Error::InvalidUninstallManifest;
  }
  auto size = static_cast<std::size_t>(st.size);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size == 0 ? 1 : size]);
  if (!buffer) return Error::OutOfMemory;
  if (!isValidWtf8(manifestPath)) return Error::InvalidWtf8;
  if (!readFileExact(manifestPath, buffer.get(), size)) return Error::InvalidUninstallManifest;

  UninstallManifest manifest = TRY(parseUninstallManifestJson(std::string_view(buffer.get(), size)));
  TRY(checkUninstallManifestFields(manifest, channelRoot));
  // Only a check: the layout's paths are not needed further.
  TRY(resolveInstallLayout(channelRoot, manifest.identifier, manifest.channel));

  std::string fileName = shortcutFileName(manifest.name, manifest.channel);
  std::string desktop = TRY(desktopDir());
  std::string startMenu = TRY(startMenuProgramsDir());
  // The recorded shortcuts must be exactly where the shell folders put them now.
  if (!isAbsolutePath(manifest.desktop_shortcut) || !isAbsolutePath(manifest.start_menu_shortcut)) {
    return Error::InvalidUninstallManifest;
  }
  TRY(checkSamePath(manifest.desktop_shortcut, joinPath({desktop, fileName})));
  TRY(checkSamePath(manifest.start_menu_shortcut, joinPath({startMenu, fileName})));
  manifest.schema_version = 1;
  return manifest;
}

}  // namespace tl
