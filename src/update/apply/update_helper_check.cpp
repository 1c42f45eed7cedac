#include "update/apply/update_helper_check.h"

#include "common/hex.h"
#include "common/install_layout.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "update/update_names.h"

namespace tl {

Result<std::string> verifyUpdateHelperPath(std::string_view transactionId) {
  std::string exe = TRY(process::ownExecutablePath());
  if (!isHexId32(transactionId)) return Error::InvalidUpdatePlan;
  const std::string expected = concatStrings(concatStrings("tamberlock-update-", transactionId), ".exe");
  if (lastComponent(exe) != expected) return Error::InvalidUpdateHelper;
  const Result<fs::FileStat> st = fs::statNoFollow(exe);
  if (!st || st->kind != fs::FileKind::File) return Error::InvalidUpdatePath;
  TRY(requireInTempDir(exe));
  return exe;
}

}  // namespace tl
