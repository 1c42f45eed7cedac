#include "update/apply/stale_update_state.h"

#include <optional>
#include <string>
#include <vector>

#include "common/atomic_write.h"
#include "common/diagnostics.h"
#include "common/paths.h"
#include "common/retrying_delete.h"
#include "common/self_extraction_names.h"
#include "platform/fs.h"

namespace tl {

namespace {

Status cleanFolder(const UpdatePlan& plan) {
  const std::string_view source = TRY(planPayloadSource(plan));
  const std::optional<std::string> folderPath = parentPath(source);
  if (!folderPath) return Error::InvalidUpdatePath;
  const std::string_view keep = lastComponent(source);

  const fs::Dir folder = TRY(fs::openDir(*folderPath, /*noFollowLast=*/true));
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(folder));
  for (const fs::DirEntry& e : entries) {
    // A temporary may be a preparation's record being written: the
    // preparation sweeps its own, under its lock.
    if (e.name == keep || !isStaleUpdateStateName(e.name) || isAtomicTemporaryName(e.name)) continue;
    if (e.kind != fs::FileKind::File) {
      diagLine({"Warning: Refusing to remove non-file update state: ", e.name});
      continue;
    }
    const Status deleted = deleteFileWithRetries(folder, e.name);
    if (!deleted) diagLine({"Warning: Could not remove stale update state ", e.name, ": ", deleted.error()});
  }
  return success();
}

}  // namespace

void cleanStaleCommittedUpdateState(const UpdatePlan& plan) {
  const Status cleaned = cleanFolder(plan);
  if (!cleaned) diagLine({"Warning: Could not clean stale committed update state: ", cleaned.error()});
}

}  // namespace tl
