#include "installer/installer_payload.h"

#include <array>

#include "common/diagnostics.h"
#include "common/hex.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

constexpr std::string_view kMetadataMarker = "TAMBERLOCK_METADATA_V1";
constexpr std::string_view kArchiveMarker = "TAMBERLOCK_ARCHIVE_V1";
constexpr std::size_t kWindow = 22 + 4096 + 21;  // 4139

void printFoundDebug(std::string_view meta) {
  std::string n = std::to_string(meta.size());
  std::string hex;
  std::string text;
  for (char c : meta) {
    auto b = static_cast<unsigned char>(c);
    hex += hexNoLeadingZeros(b);
    hex += ' ';
    if (b < 32 || b > 126) {
      text += "\\x";
      text += hexNoLeadingZeros(b);
    } else {
      text += c;
    }
  }
  std::lock_guard<std::recursive_mutex> lock(stderrMutex());
  diagLine({"DEBUG: metadata_size=", n});
  diagLine({"DEBUG: Raw metadata bytes (size=", n, ")"});
  diagLine({"DEBUG: Raw metadata as hex: ", hex});
  diagLine({"DEBUG: Raw metadata as string: '", text, "'"});
}

}  // namespace

std::string_view installerStem(std::string_view base) {
  std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return base;
  return base.substr(0, dot);
}

std::string installerMetadataFileName(std::string_view stem) { return std::string(stem) + ".metadata.json"; }
std::string installerArchiveFileName(std::string_view stem) { return std::string(stem) + ".tar.zst"; }

std::optional<std::size_t> findLast(std::string_view h, std::string_view n) {
  if (n.empty() || h.size() < n.size()) return std::nullopt;
  const std::size_t m = n.size();
  if (h.size() < 64) {
    for (std::size_t i = h.size() - m + 1; i-- > 0;) {
      if (h.compare(i, m, n) == 0) return i;
    }
    return std::nullopt;
  }
  // Horspool from the end: the skip is keyed by the window's first byte.
  std::array<std::size_t, 256> skip;
  skip.fill(m);
  for (std::size_t i = m - 1; i > 0; --i) skip[static_cast<unsigned char>(n[i])] = i;
  std::size_t pos = h.size() - m;
  while (true) {
    if (h.compare(pos, m, n) == 0) return pos;
    std::size_t s = skip[static_cast<unsigned char>(h[pos])];
    if (pos < s) return std::nullopt;
    pos -= s;
  }
}

std::optional<std::size_t> findFirst(std::string_view h, std::string_view n) {
  if (n.empty() || h.size() < n.size()) return std::nullopt;
  const std::size_t m = n.size();
  if (h.size() <= 51) {
    for (std::size_t i = 0; i + m <= h.size(); ++i) {
      if (h.compare(i, m, n) == 0) return i;
    }
    return std::nullopt;
  }
  std::array<std::size_t, 256> skip;
  skip.fill(m);
  for (std::size_t i = 0; i + 1 < m; ++i) skip[static_cast<unsigned char>(n[i])] = m - 1 - i;
  std::size_t pos = 0;
  while (pos + m <= h.size()) {
    if (h.compare(pos, m, n) == 0) return pos;
    pos += skip[static_cast<unsigned char>(h[pos + m - 1])];
  }
  return std::nullopt;
}

Result<std::optional<AppendedBlock>> findAppendedBlock(std::string_view data) {
  std::optional<std::size_t> m = findLast(data, kMetadataMarker);
  while (m) {
    const std::size_t windowStart = *m + kMetadataMarker.size();
    const std::size_t windowEnd = std::min(data.size(), *m + kWindow);
    std::size_t start = windowStart;
    while (start + kArchiveMarker.size() <= windowEnd) {
      std::optional<std::size_t> rel = findFirst(data.substr(start, windowEnd - start), kArchiveMarker);
      if (!rel) break;
      const std::size_t a = start + *rel;
      Result<InstallerMetadata> meta = parseInstallerMetadata(data.substr(windowStart, a - windowStart));
      if (meta.ok() && isKnownChannel(meta->channel)) return std::optional<AppendedBlock>(AppendedBlock{*m, a});
      if (!meta.ok() && meta.error() == Error::OutOfMemory) return Error::OutOfMemory;
      start = a + kArchiveMarker.size();
    }
    // The previous metadata marker, strictly before this one.
    if (*m == 0) break;
    m = findLast(data.substr(0, *m + kMetadataMarker.size() - 1), kMetadataMarker);
  }
  return std::optional<AppendedBlock>();
}

Result<LocatedPayload> locateInstallerPayload(std::string_view exePath) {
  std::optional<std::string> folder = parentPath(exePath);
  if (!folder) return Error::InvalidPath;
  std::string_view stem = installerStem(lastComponent(exePath));

  // Each side file is looked for in ".installer" first, then beside the exe.
  auto sidePath = [&](const std::string& name) {
    std::string inInstaller = joinPath({*folder, ".installer", name});
    if (fs::access(inInstaller).ok()) return inInstaller;
    return joinPath({*folder, name});
  };
  std::string metaPath = sidePath(installerMetadataFileName(stem));
  Result<std::string> metaText = fs::readFile(metaPath, kInstallerMetadataCap);
  if (metaText.ok()) {
    SidePayload side;
    side.metadata = TRY(parseSideInstallerMetadata(*metaText));
    side.archivePath = sidePath(installerArchiveFileName(stem));
    return LocatedPayload(std::move(side));
  }
  if (metaText.error() != Error::FileNotFound && metaText.error() != Error::NotDir) return metaText.error();

  AppendedPayload appended;
  appended.executable = TRY(fs::readFile(exePath, SIZE_MAX));
  std::optional<AppendedBlock> block = TRY(findAppendedBlock(appended.executable));
  if (!block) {
    diagLine({"DEBUG: No metadata marker found at all"});
    return LocatedPayload(NoPayload{});
  }
  appended.metadataOffset = block->metadataMarker + kMetadataMarker.size();
  appended.metadataSize = block->archiveMarker - appended.metadataOffset;
  appended.archiveMarkerOffset = block->archiveMarker;
  appended.archiveOffset = block->archiveMarker + kArchiveMarker.size();
  printFoundDebug(appended.metadataBytes());
  return LocatedPayload(std::move(appended));
}

}  // namespace tl
