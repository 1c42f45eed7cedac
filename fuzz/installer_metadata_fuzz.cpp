// Installer metadata comes from the download next to the installer or from
// the executable's own tail: neither parser may crash, and the appended-block
// search must accept only a pair it can justify, the one that trying every
// candidate in file order would accept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <algorithm>
#include <string>
#include <string_view>

#include "installer/installer_metadata.h"
#include "installer/installer_payload.h"

namespace {

constexpr std::string_view kMetadataMarker = "TAMBERLOCK_METADATA_V1";
constexpr std::string_view kArchiveMarker = "TAMBERLOCK_ARCHIVE_V1";
constexpr std::size_t kWindow = 22 + 4096 + 21;

// The search as a plain loop over every candidate pair in file order: each
// metadata marker, then each archive marker in its window, parsed in turn.
std::optional<tl::AppendedBlock> everyCandidate(std::string_view exe) {
  for (std::size_t m = exe.find(kMetadataMarker); m != std::string_view::npos; m = exe.find(kMetadataMarker, m + 1)) {
    const std::size_t start = m + kMetadataMarker.size();
    const std::size_t windowEnd = std::min(exe.size(), m + kWindow);
    for (std::size_t a = exe.find(kArchiveMarker, start);
         a != std::string_view::npos && a + kArchiveMarker.size() <= windowEnd; a = exe.find(kArchiveMarker, a + 1)) {
      auto meta = tl::parseInstallerMetadata(exe.substr(start, a - start));
      if (meta.ok() && tl::isKnownChannel(meta->channel)) return tl::AppendedBlock{m, a};
    }
  }
  return std::nullopt;
}

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
    if (!found.ok()) continue;
    // The same pair as trying every candidate would give.
    const std::optional<tl::AppendedBlock> expected = everyCandidate(exe);
    if (found->has_value() != expected.has_value()) std::abort();
    if (!expected) continue;
    if ((*found)->metadataMarker != expected->metadataMarker || (*found)->archiveMarker != expected->archiveMarker) {
      std::abort();
    }
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
