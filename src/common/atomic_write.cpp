#include "common/atomic_write.h"

#include <optional>
#include <string>

#include "common/hex.h"
#include "common/paths.h"
#include "platform/io_context.h"

namespace tl {

namespace {

// 16 digits: two a byte of one random 64-bit value.
constexpr std::size_t kTemporaryDigits = 16;

std::string temporaryName() {
  std::uint64_t r = io().randomU64();
  std::uint8_t raw[8];
  for (int i = 0; i < 8; ++i) raw[i] = static_cast<std::uint8_t>(r >> (56 - 8 * i));
  return toLowerHex(raw, 8);
}

// Write, flush, rename; on failure the temporary file goes. The folder is
// flushed afterwards, since only then is the rename itself durable.
Status writeThenRename(const fs::Dir& folder, std::string_view name, const AtomicFileFill& fill) {
  const std::string temp = temporaryName();
  Result<fs::File> created = fs::createFileAt(folder, temp, /*exclusive=*/true, /*truncate=*/false);
  if (!created.ok()) return created.error();  // nothing of ours to delete
  fs::File file = created.take();
  Status done = [&]() -> Status {
    TRY(fill(file));
    return syncAndRename(file, [&] { return fs::renameAt(folder, temp, folder, name); });
  }();
  if (!done.ok()) {
    file.close();
    (void)fs::deleteFileAt(folder, temp);
    return done;
  }
  (void)fs::syncDir(folder);
  return success();
}

}  // namespace

bool isAtomicTemporaryName(std::string_view name) { return isLowerHexOfLength(name, kTemporaryDigits); }

Status writeFileAtomically(std::string_view path, std::string_view bytes) {
  std::optional<std::string> folder = parentPath(path);
  if (!folder) return Error::InvalidPath;
  const fs::Dir dir = TRY(fs::openDir(*folder));
  return writeFileAtomicallyAt(dir, lastComponent(path), bytes);
}

Status writeFileAtomicallyAt(const fs::Dir& folder, std::string_view name, std::string_view bytes) {
  return writeThenRename(folder, name, [bytes](fs::File& file) { return fs::writeAll(file, bytes.data(), bytes.size()); });
}

Status writeFileAtomicallyAt(const fs::Dir& folder, std::string_view name, const AtomicFileFill& fill) {
  return writeThenRename(folder, name, fill);
}

}  // namespace tl
