#include "update/apply/update_folder_moves.h"

#include "common/retry.h"
#include "platform/fs.h"

namespace tl {

void deleteTreeIfDirectory(std::string_view path) {
  const Result<fs::FileStat> st = fs::statNoFollow(path);
  if (st && st->kind == fs::FileKind::Directory) (void)fs::deleteTree(path);
}

Status renameWithRetries(std::string_view from, std::string_view to) {
  return retryWithPauses(kSwapRenameAttempts, kSwapRenamePauseMs, [&] { return fs::rename(from, to); });
}

Status setAsideAndRestore(std::string_view target, std::string_view replacement, std::string_view aside) {
  TRY(retryWithPauses(kSwapRenameAttempts, kSwapRenamePauseMs, [&]() -> Status {
    const Result<fs::FileStat> st = fs::statNoFollow(target);
    if (!st) {
      if (st.error() == Error::FileNotFound || st.error() == Error::NotDir) return success();
      return st.error();
    }
    if (st->kind != fs::FileKind::Directory) return Error::InvalidUpdatePath;
    return fs::rename(target, aside);
  }));
  TRY(renameWithRetries(replacement, target));
  deleteTreeIfDirectory(aside);
  return success();
}

}  // namespace tl
