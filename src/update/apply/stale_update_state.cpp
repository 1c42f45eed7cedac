#include "update/apply/stale_update_state.h"

#include <optional>
#include <string>
#include <vector>

#include "archive/no_follow_access.h"
#include "common/diagnostics.h"
#include "common/paths.h"
#include "common/retrying_delete.h"
#include "common/self_extraction_names.h"
#include "platform/fs.h"
#include "update/prepared_update.h"
#include "update/update_locks.h"
#include "update/update_names.h"

namespace tl {

namespace {

// The version of another preparation recorded here whose folder stands
// beside app: one made after this update's swap, when a stopped helper's
// commit is finished late, stays usable and keeps its record and recipe.
std::optional<std::string> otherPreparedVersion(const UpdatePlan& plan, const fs::Dir& folder) {
  const Result<std::string> text = readArchiveFile(folder, kPreparedUpdateFileName, kPreparedUpdateCap);
  if (!text) return std::nullopt;
  Result<PreparedUpdate> record = parsePreparedUpdate(*text);
  if (!record || record->schema_version != 2 || !isValidBuildHash(record->hash) || record->hash == plan.hash) {
    return std::nullopt;
  }
  const Result<fs::FileStat> st = fs::statNoFollow(preparedDirName(plan.app_bundle_path, record->hash));
  if (!st || st->kind != fs::FileKind::Directory) return std::nullopt;
  return std::move(record->hash);
}

Status cleanFolder(const UpdatePlan& plan) {
  const std::string_view source = TRY(planPayloadSource(plan));
  const std::optional<std::string> folderPath = parentPath(source);
  if (!folderPath) return Error::InvalidUpdatePath;
  const std::string_view keep = lastComponent(source);

  const fs::Dir folder = TRY(fs::openDir(*folderPath, /*noFollowLast=*/true));
  const std::optional<std::string> other = otherPreparedVersion(plan, folder);
  const std::string otherRecipe = other ? recipeFileName(*other) : std::string();
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(folder));
  for (const fs::DirEntry& e : entries) {
    if (e.name == keep || !isStaleUpdateStateName(e.name)) continue;
    if (other && (e.name == kPreparedUpdateFileName || e.name == otherRecipe)) continue;
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
  // Under the preparation's lock: the relaunched application may start a
  // preparation at once, whose downloads and record are written here.
  const Status cleaned = [&]() -> Status {
    const fs::Dir root = TRY(fs::openDir(plan.channel_root));
    const fs::File preparing = TRY(takePrepareLock(root));
    return cleanFolder(plan);
  }();
  if (!cleaned) diagLine({"Warning: Could not clean stale committed update state: ", cleaned.error()});
}

}  // namespace tl
