// The uninstall manifest's JSON text, as any file in a channel root could
// hold it: parse, check the fields, and write back what was accepted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "windows_integration/uninstall_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.size() > tl::kMaxManifestBytes) return 0;
  tl::Result<tl::UninstallManifest> parsed = tl::parseUninstallManifestJson(text);
  if (!parsed) return 0;
  (void)tl::checkUninstallManifestFields(*parsed, "C:\\Users\\u\\AppData\\Local\\id\\stable");

  // What the writer makes of a parsed record reads back as the same record.
  tl::Result<tl::UninstallManifest> again =
      tl::parseUninstallManifestJson(tl::serializeUninstallManifest(*parsed));
  if (!again) std::abort();
  const tl::UninstallManifest& a = *parsed;
  const tl::UninstallManifest& b = *again;
  if (a.schema_version != b.schema_version || a.install_nonce != b.install_nonce ||
      a.identifier != b.identifier || a.name != b.name || a.channel != b.channel ||
      a.desktop_shortcut != b.desktop_shortcut || a.start_menu_shortcut != b.start_menu_shortcut ||
      a.install_root_name != b.install_root_name || a.data_path_versions != b.data_path_versions) {
    std::abort();
  }
  return 0;
}
