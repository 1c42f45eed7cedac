#pragma once
// Where the installer's archive and metadata are: side files in ".installer"
// or beside the executable, or a block appended to the executable itself.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/result.h"
#include "installer/installer_metadata.h"

namespace tl {

// The executable's base name up to its last '.'; a name whose only '.' is its
// first byte, or that has none, is its own stem.
std::string_view installerStem(std::string_view baseName);
std::string installerMetadataFileName(std::string_view stem);
std::string installerArchiveFileName(std::string_view stem);

struct SidePayload {
  InstallerMetadata metadata;
  std::string archivePath;
};

struct AppendedPayload {
  std::string executable;  // the whole file; the archive is a view into it
  std::size_t metadataOffset = 0;
  std::size_t metadataSize = 0;
  std::size_t archiveMarkerOffset = 0;
  std::size_t archiveOffset = 0;
  std::string_view metadataBytes() const { return std::string_view(executable).substr(metadataOffset, metadataSize); }
  std::string_view archiveBytes() const { return std::string_view(executable).substr(archiveOffset); }
};

struct NoPayload {};

using LocatedPayload = std::variant<SidePayload, AppendedPayload, NoPayload>;

// Finds the payload of the executable at exePath, printing the DEBUG lines of
// the appended search.
[[nodiscard]] Result<LocatedPayload> locateInstallerPayload(std::string_view exePath);

// The candidate search over an executable's bytes (pure): the first metadata
// marker, in file order, whose metadata parses, has a known channel and is
// closed by an archive marker within the window. The first, because an
// archive may carry a whole installer of its own stored verbatim, pair and
// all. Returns the offsets of both markers, or none.
struct AppendedBlock {
  std::size_t metadataMarker;
  std::size_t archiveMarker;
};
[[nodiscard]] Result<std::optional<AppendedBlock>> findAppendedBlock(std::string_view data);

// Searches with a 256-entry skip table (a plain scan for short inputs).
std::optional<std::size_t> findFirst(std::string_view haystack, std::string_view needle);

}  // namespace tl
