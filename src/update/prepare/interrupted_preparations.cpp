#include "update/prepare/interrupted_preparations.h"

#include <vector>

#include "common/atomic_write.h"
#include "common/self_extraction_names.h"

namespace tl {

Status removeInterruptedFiles(const fs::Dir& selfExtraction) {
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(selfExtraction));
  for (const fs::DirEntry& entry : entries) {
    if (entry.kind == fs::FileKind::File && (isPatchFileName(entry.name) || isAtomicTemporaryName(entry.name))) {
      TRY(fs::deleteFileAt(selfExtraction, entry.name));
    }
  }
  return success();
}

}  // namespace tl
