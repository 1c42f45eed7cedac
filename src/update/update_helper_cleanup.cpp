#include "update/update_helper_cleanup.h"

#include <string>

#include "common/diagnostics.h"
#include "common/hex.h"
#include "common/wtf8.h"
#include "platform/reboot_deletion.h"
#include "windows_integration/cleanup_script.h"
#include "windows_integration/tool_runner.h"

namespace tl {

void scheduleHelperCleanup(std::string_view helperPath) {
  const Status scheduled = scheduleFileDeletion(helperPath);
  if (scheduled) return;
  diagLine({"Warning: Could not start update-helper cleanup: ", scheduled.error()});
  // A path the system could not even name is left alone.
  if (!isValidWtf8(helperPath)) return;
  if (!platform::deleteFileAtReboot(helperPath)) writeDiag({"Warning: Could not schedule update-helper cleanup.\n"});
}

void deleteUpdateTask(std::string_view transactionId) {
  if (!isHexId32(transactionId)) return;
  const Result<std::string> schtasks = systemToolPath("schtasks.exe");
  if (!schtasks) return;
  const std::string taskName = std::string(kUpdateTaskPrefix) + std::string(transactionId);
  (void)startCommandQuietly({*schtasks, "/Delete", "/TN", taskName, "/F"});
}

}  // namespace tl
