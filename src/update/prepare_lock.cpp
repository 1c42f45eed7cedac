#include "update/prepare_lock.h"

namespace tl {

namespace {

Result<fs::File> openLockFile(const fs::Dir& channelRoot) {
  Result<fs::File> created = fs::createFileAt(channelRoot, kPrepareLockFileName, /*exclusive=*/true, false);
  if (created.ok() || created.error() != Error::PathAlreadyExists) return created;
  // Looked at before it is opened, so that a folder or link under the name
  // is named for what it is rather than by the open's error.
  const fs::FileStat existing = TRY(fs::statAt(channelRoot, kPrepareLockFileName));
  if (existing.kind != fs::FileKind::File) return Error::InvalidUpdateLock;
  return fs::createFileAt(channelRoot, kPrepareLockFileName, /*exclusive=*/false, /*truncate=*/false);
}

}  // namespace

Result<fs::File> takePrepareLock(const fs::Dir& channelRoot) {
  fs::File file = TRY(openLockFile(channelRoot));
  const fs::FileStat st = TRY(fs::statFile(file));
  if (st.kind != fs::FileKind::File) return Error::InvalidUpdateLock;
  const bool granted = TRY(fs::tryLockRange(file, 0, 1));
  if (!granted) return Error::UpdatePreparationBusy;
  return file;
}

}  // namespace tl
