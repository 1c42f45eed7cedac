// Installer metadata comes from the download next to the installer or from
// the executable's own tail: neither parser may crash, and the appended-block
// search must only accept a pair it can justify.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "installer/installer_metadata.h"
#include "installer/installer_payload.h"

namespace {

constexpr std::string_view kMetadataMarker = "TAMBERLOCK_METADATA_V1";
constexpr std::string_view kArchiveMarker = "TAMBERLOCK_ARCHIVE_V1";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)tl::parseSideInstallerMetadata(text);
  auto strict = tl::parseInstallerMetadata(text);
  // Whatever the strict form accepts, the lenient one accepts too, unless the
  // hash is null (a string only in the side file).
  if (strict.ok() && strict->hash && !tl::parseSideInstallerMetadata(text).ok()) std::abort();

  // The input as the tail of an executable, and wrapped in markers.
  for (const std::string& exe : {std::string(text), std::string(kMetadataMarker) + std::string(text) +
                                                        std::string(kArchiveMarker) + "archive"}) {
    auto found = tl::findAppendedBlock(exe);
    if (!found.ok() || !found->has_value()) continue;
    const tl::AppendedBlock b = **found;
    if (exe.compare(b.metadataMarker, kMetadataMarker.size(), kMetadataMarker) != 0) std::abort();
    if (exe.compare(b.archiveMarker, kArchiveMarker.size(), kArchiveMarker) != 0) std::abort();
    const std::size_t start = b.metadataMarker + kMetadataMarker.size();
    if (b.archiveMarker < start || b.archiveMarker - start > tl::kInstallerMetadataCap) std::abort();
    auto meta = tl::parseInstallerMetadata(std::string_view(exe).substr(start, b.archiveMarker - start));
    if (!meta.ok()) std::abort();
    if (meta->channel != "stable" && meta->channel != "canary" && meta->channel != "dev") std::abort();
  }
  return 0;
}
