#include "update/update_locks.h"

#include <cstdint>

#include "common/hex.h"

namespace tl {

namespace {

// Transaction bytes lie far beyond the swap record, so that no lock of them
// covers a byte the record is read from; 48 bits of the random id make two
// transactions sharing one byte as likely as never.
constexpr std::uint64_t kTransactionBytes = std::uint64_t{1} << 40;
constexpr std::size_t kTransactionIdDigits = 12;

Result<fs::File> openLockFile(const fs::Dir& channelRoot, std::string_view name) {
  Result<fs::File> created = fs::createFileAt(channelRoot, name, /*exclusive=*/true, false);
  if (created.ok() || created.error() != Error::PathAlreadyExists) return created;
  // Looked at before it is opened, so that a folder or link under the name
  // is named for what it is rather than by the open's error.
  const fs::FileStat existing = TRY(fs::statAt(channelRoot, name));
  if (existing.kind != fs::FileKind::File) return Error::InvalidUpdateLock;
  fs::File file = TRY(fs::createFileAt(channelRoot, name, /*exclusive=*/false, /*truncate=*/false));
  const fs::FileStat st = TRY(fs::statFile(file));
  if (st.kind != fs::FileKind::File) return Error::InvalidUpdateLock;
  return file;
}

std::uint64_t transactionByte(std::string_view transactionId) {
  std::uint64_t n = 0;
  for (const char c : transactionId.substr(0, kTransactionIdDigits)) {
    n = n << 4 | static_cast<std::uint64_t>(hexDigitValue(c) & 0xf);
  }
  return kTransactionBytes + n;
}

}  // namespace

Result<fs::File> takePrepareLock(const fs::Dir& channelRoot) {
  fs::File file = TRY(openLockFile(channelRoot, kPrepareLockFileName));
  if (!TRY(fs::tryLockRange(file, 0, 1))) return Error::UpdatePreparationBusy;
  return file;
}

Result<ApplyLock> takeApplyLock(const fs::Dir& channelRoot, std::string_view transactionId) {
  fs::File file = TRY(openLockFile(channelRoot, kApplyLockFileName));
  if (!TRY(fs::tryLockRange(file, transactionByte(transactionId), 1))) return Error::UpdateApplicationBusy;
  const bool applying = TRY(fs::tryLockRange(file, 0, 1));
  return ApplyLock(std::move(file), applying);
}

Result<bool> ApplyLock::swapUnsettled() {
  const fs::FileStat st = TRY(fs::statFile(file_));
  return st.size > 0;
}

Status ApplyLock::recordSwap(std::string_view transactionId) {
  TRY(fs::replaceContent(file_, transactionId.data(), transactionId.size()));
  return fs::syncFile(file_);
}

Status ApplyLock::settleSwap() {
  TRY(fs::replaceContent(file_, nullptr, 0));
  return fs::syncFile(file_);
}

}  // namespace tl
