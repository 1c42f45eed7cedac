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

bool isJsonWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes that valid JSON may hold outside its strings.
bool isJsonStructureByte(char c) {
  if (isJsonWhiteSpace(c)) return true;
  if (c >= '0' && c <= '9') return true;
  // Structure, numbers, and the letters of true, false and null.
  return std::string_view("{}[]:,\"-+.eEtrufalsn").find(c) != std::string_view::npos;
}

// One past the closing brace of the JSON object that starts at `from` (after
// white space), when it closes before `limit`. Follows only strings, escapes
// and nesting, so it also finds ends of invalid text; the parser decides. A
// byte that JSON never holds outside a string ends the scan. The marker text
// is such a byte run: where scans of several markers overlap, every earlier
// one must be inside a string at the later marker, and their string states
// are opposite after it, so at most two are still going at any place and
// the search stays linear in the file's size.
std::optional<std::size_t> jsonObjectEnd(std::string_view data, std::size_t from, std::size_t limit) {
  std::size_t i = from;
  while (i < limit && isJsonWhiteSpace(data[i])) ++i;
  if (i >= limit || data[i] != '{') return std::nullopt;
  std::size_t depth = 0;
  bool inString = false;
  for (; i < limit; ++i) {
    const char c = data[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (!isJsonStructureByte(c)) return std::nullopt;
    if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) return i + 1;
    }
  }
  return std::nullopt;
}

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
  std::size_t from = 0;
  while (std::optional<std::size_t> found = findFirst(data.substr(from), kMetadataMarker)) {
    const std::size_t m = from + *found;
    from = m + 1;
    const std::size_t start = m + kMetadataMarker.size();
    const std::size_t windowEnd = std::min(data.size(), m + kWindow);
    if (windowEnd < start + kArchiveMarker.size()) continue;
    // Metadata that parses is one object between white space, so the only
    // archive marker that can close it is the one right after that object.
    const std::size_t limit = windowEnd - kArchiveMarker.size();
    std::optional<std::size_t> end = jsonObjectEnd(data, start, limit);
    if (!end) continue;
    std::size_t a = *end;
    while (a <= limit && isJsonWhiteSpace(data[a])) ++a;
    if (a > limit || data.compare(a, kArchiveMarker.size(), kArchiveMarker) != 0) continue;
    Result<InstallerMetadata> meta = parseInstallerMetadata(data.substr(start, a - start));
    if (meta.ok() && isKnownChannel(meta->channel)) return std::optional<AppendedBlock>(AppendedBlock{m, a});
    if (!meta.ok() && meta.error() == Error::OutOfMemory) return Error::OutOfMemory;
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
