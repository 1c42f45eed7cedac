#pragma once
// One preparation and one application at a time per channel root: an
// exclusive lock of the first byte of a lock file in the channel root, tried
// once and never waited for. The files are made once and never deleted by
// the runs; a lock goes with its handle, and with its holder's death.
#include <string_view>

#include "common/install_layout.h"
#include "common/result.h"
#include "platform/fs.h"

namespace tl {

// The preparation's lock (.tamberlock-prepare.lock), created or opened in
// the channel root (anything but a regular file under the name is
// InvalidUpdateLock); a lock held by another run is UpdatePreparationBusy at
// once. The returned handle holds the lock.
[[nodiscard]] Result<fs::File> takePrepareLock(const fs::Dir& channelRoot);

// An update helper's hold on .tamberlock-apply.lock. Two locks on one
// handle: a byte of its transaction's own, so that two helpers of one
// transaction (its task started twice) never both run, and the first byte,
// which one helper of the installation holds while it applies. The file's
// bytes record a swap whose integration is not settled yet: from before a
// swap's first move until the uninstall entry names what app holds again,
// so that the next helper knows when a killed one left it naming another
// version.
class ApplyLock {
 public:
  // Whether this helper holds the installation's application lock; false
  // when a helper of another transaction holds it.
  bool applying() const { return applying_; }

  // Whether a swap was recorded and never settled.
  [[nodiscard]] Result<bool> swapUnsettled();
  // Records a swap of this transaction, durably, before anything moves.
  [[nodiscard]] Status recordSwap(std::string_view transactionId);
  // The uninstall entry names what app holds: the record goes.
  [[nodiscard]] Status settleSwap();

 private:
  friend Result<ApplyLock> takeApplyLock(const fs::Dir&, std::string_view);
  ApplyLock(fs::File file, bool applying) : file_(std::move(file)), applying_(applying) {}

  fs::File file_;
  bool applying_;
};

// Creates or opens the lock file (InvalidUpdateLock as above) and locks the
// transaction's byte: UpdateApplicationBusy when another helper of the
// transaction holds it. Then tries the first byte once; the result tells
// whether it was granted. transactionId is 32 hexadecimal digits.
[[nodiscard]] Result<ApplyLock> takeApplyLock(const fs::Dir& channelRoot, std::string_view transactionId);

}  // namespace tl
