#include "update/prepare/owned_stage.h"

namespace tl {

Status requireOwnedStageDeleted(PreparationState& st) {
  if (!st.stageOwned) return success();
  const Result<fs::FileStat> found = fs::statAt(st.bundleParent, st.stageName);
  if (!found.ok() && found.error() != Error::FileNotFound) return found.error();
  if (!found.ok() || found->kind != fs::FileKind::Directory) return Error::InvalidUpdateStage;
  TRY(fs::deleteTreeAt(st.bundleParent, st.stageName));
  st.stageOwned = false;
  return success();
}

void tryDeleteOwnedStage(PreparationState& st) {
  if (!st.stageOwned) return;
  const Result<fs::FileStat> found = fs::statAt(st.bundleParent, st.stageName);
  if (!found.ok() || found->kind != fs::FileKind::Directory) return;
  if (fs::deleteTreeAt(st.bundleParent, st.stageName).ok()) st.stageOwned = false;
}

}  // namespace tl
