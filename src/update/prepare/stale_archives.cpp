#include "update/prepare/stale_archives.h"

#include "common/self_extraction_names.h"

namespace tl {

Status removeStaleArchives(const fs::Dir& selfExtraction, std::string_view keepHash) {
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(selfExtraction));
  for (const fs::DirEntry& entry : entries) {
    std::string_view hash;
    if (entry.kind != fs::FileKind::File || !isCachedArchiveName(entry.name, &hash) || hash == keepHash) continue;
    TRY(fs::deleteFileAt(selfExtraction, entry.name));
  }
  return success();
}

}  // namespace tl
