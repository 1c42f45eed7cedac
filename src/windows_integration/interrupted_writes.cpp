#include "windows_integration/interrupted_writes.h"

#include <vector>

#include "common/install_layout.h"

namespace tl {

void removeInterruptedWrites(const fs::Dir& channelRoot, const InterruptedWriteFailure& onFailure) {
  Result<std::vector<fs::DirEntry>> entries = fs::listDir(channelRoot);
  if (!entries.ok()) return;
  for (const fs::DirEntry& entry : *entries) {
    // The listing's kind is the entry's own: a link is never followed.
    if (entry.kind != fs::FileKind::File || !isInterruptedWriteName(entry.name)) continue;
    Status removed = fs::deleteFileAt(channelRoot, entry.name);
    if (!removed.ok() && removed.error() != Error::FileNotFound && onFailure) onFailure(entry.name, removed.error());
  }
}

}  // namespace tl
