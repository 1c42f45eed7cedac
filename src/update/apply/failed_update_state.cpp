#include "update/apply/failed_update_state.h"

#include <optional>
#include <string>

#include "common/diagnostics.h"
#include "common/paths.h"
#include "common/self_extraction_names.h"
#include "platform/fs.h"
#include "update/apply/staged_payload.h"
#include "update/prepared_update.h"

namespace tl {

Status invalidateFailedUpdateState(const UpdatePlan& plan, UpdatePhase phase) {
  if (phase != UpdatePhase::extracting && phase != UpdatePhase::validatingPayload) return success();
  // The version app holds keeps its recipe and record: the next update's
  // delta is rebuilt from them.
  if (holdsPlanBuild(plan, plan.app_bundle_path)) return success();
  const std::string_view source = TRY(planPayloadSource(plan));
  const std::optional<std::string> folderPath = parentPath(source);
  if (!folderPath) return Error::InvalidUpdatePath;
  const std::string_view sourceName = lastComponent(source);
  const LenientPreparedUpdate expected = preparedUpdateExpectation(plan);

  const fs::Dir folder = TRY(fs::openDir(*folderPath));
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(folder));
  for (const fs::DirEntry& e : entries) {
    if (e.kind != fs::FileKind::File) continue;
    const bool doomed = e.name == sourceName || isPayloadStateName(e.name, plan.hash) ||
                        (isPreparedRecordName(e.name) && preparedUpdateMatches(*folderPath, e.name, expected));
    if (!doomed) continue;
    const Status deleted = fs::deleteFileAt(folder, e.name);
    if (!deleted) diagLine({"Warning: Could not invalidate failed update state ", e.name, ": ", deleted.error()});
  }
  return success();
}

}  // namespace tl
