#include "update/update_locks.h"

namespace tl {

namespace {

Result<fs::File> openLockFile(const fs::Dir& channelRoot, std::string_view name) {
  Result<fs::File> created = fs::createFileAt(channelRoot, name, /*exclusive=*/true, false);
  if (created.ok() || created.error() != Error::PathAlreadyExists) return created;
  // Looked at before it is opened, so that a folder or link under the name
  // is named for what it is rather than by the open's error.
  const fs::FileStat existing = TRY(fs::statAt(channelRoot, name));
  if (existing.kind != fs::FileKind::File) return Error::InvalidUpdateLock;
  return fs::createFileAt(channelRoot, name, /*exclusive=*/false, /*truncate=*/false);
}

Result<fs::File> takeChannelLock(const fs::Dir& channelRoot, std::string_view name, Error busy) {
  fs::File file = TRY(openLockFile(channelRoot, name));
  const fs::FileStat st = TRY(fs::statFile(file));
  if (st.kind != fs::FileKind::File) return Error::InvalidUpdateLock;
  const bool granted = TRY(fs::tryLockRange(file, 0, 1));
  if (!granted) return busy;
  return file;
}

}  // namespace

Result<fs::File> takePrepareLock(const fs::Dir& channelRoot) {
  return takeChannelLock(channelRoot, kPrepareLockFileName, Error::UpdatePreparationBusy);
}

Result<fs::File> takeApplyLock(const fs::Dir& channelRoot) {
  return takeChannelLock(channelRoot, kApplyLockFileName, Error::UpdateApplicationBusy);
}

}  // namespace tl
