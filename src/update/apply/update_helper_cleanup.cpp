#include "update/apply/update_helper_cleanup.h"

#include <string>

#include "common/diagnostics.h"
#include "common/hex.h"
#include "common/paths.h"
#include "common/wtf8.h"
#include "update/update_names.h"
#include "windows_integration/cleanup_script.h"
#include "windows_integration/logon_deletion.h"
#include "windows_integration/tool_runner.h"

namespace tl {

namespace {

constexpr std::string_view kHelperPrefix = "tamberlock-update-";
constexpr std::string_view kHelperSuffix = ".exe";
constexpr std::string_view kLogonCleanupPrefix = "TamberlockUpdateCleanup_";

// The transaction id in the copy's own name, tamberlock-update-<id>.exe;
// empty for any other name.
std::string_view helperTransactionId(std::string_view helperPath) {
  std::string_view name = lastComponent(helperPath);
  if (!name.starts_with(kHelperPrefix) || !name.ends_with(kHelperSuffix)) return {};
  name.remove_prefix(kHelperPrefix.size());
  name.remove_suffix(kHelperSuffix.size());
  return isHexId32(name) ? name : std::string_view{};
}

}  // namespace

void scheduleHelperCleanup(std::string_view helperPath) {
  const Status scheduled = scheduleFileDeletion(helperPath);
  if (scheduled) return;
  diagLine({"Warning: Could not start update-helper cleanup: ", scheduled.error()});
  // A path the system could not even name is left alone.
  if (!isValidWtf8(helperPath)) return;
  // One value per transaction, so that two failed helpers never overwrite
  // each other's entry.
  const std::string_view transactionId = helperTransactionId(helperPath);
  const std::string valueName = concatStrings(kLogonCleanupPrefix, transactionId);
  const bool written = !transactionId.empty() && scheduleDeletionAtNextLogon(valueName, helperPath);
  if (!written) writeDiag({"Warning: Could not schedule update-helper cleanup.\n"});
}

void deleteUpdateTask(std::string_view transactionId) {
  if (!isHexId32(transactionId)) return;
  const Result<std::string> schtasks = systemToolPath("schtasks.exe");
  if (!schtasks) return;
  const std::string taskName = std::string(kUpdateTaskPrefix) + std::string(transactionId);
  (void)startCommandQuietly({*schtasks, "/Delete", "/TN", taskName, "/F"});
}

}  // namespace tl
