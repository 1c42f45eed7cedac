#include "update/prepare/stale_archives.h"

#include "update/update_names.h"

namespace tl {

namespace {

constexpr std::string_view kTarSuffix = ".tar";

}  // namespace

bool isCachedArchiveName(std::string_view name) {
  return name.size() > kTarSuffix.size() && name.ends_with(kTarSuffix) &&
         isValidBuildHash(name.substr(0, name.size() - kTarSuffix.size()));
}

Status removeStaleArchives(const fs::Dir& selfExtraction, std::string_view keepHash) {
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(selfExtraction));
  for (const fs::DirEntry& entry : entries) {
    if (entry.kind != fs::FileKind::File || !isCachedArchiveName(entry.name)) continue;
    if (std::string_view(entry.name).substr(0, entry.name.size() - kTarSuffix.size()) == keepHash) continue;
    TRY(fs::deleteFileAt(selfExtraction, entry.name));
  }
  return success();
}

}  // namespace tl
