#include "common/atomic_write.h"

#include <optional>
#include <string>

#include "common/hex.h"
#include "common/paths.h"
#include "common/sha256.h"
#include "platform/fs.h"
#include "platform/io_context.h"

namespace tl {

Status writeFileAtomically(std::string_view path, std::string_view bytes) {
  std::optional<std::string> folder = parentPath(path);
  if (!folder) return Error::InvalidPath;
  std::uint64_t r = io().randomU64();
  std::uint8_t raw[8];
  for (int i = 0; i < 8; ++i) raw[i] = static_cast<std::uint8_t>(r >> (56 - 8 * i));
  const std::string temp = joinPath({*folder, toLowerHex(raw, 8)});

  Result<fs::File> created = fs::createFile(temp, /*exclusive=*/true, /*truncate=*/false);
  if (!created.ok()) return created.error();  // nothing of ours to delete
  fs::File file = created.take();
  Status done = [&]() -> Status {
    TRY(fs::writeAll(file, bytes.data(), bytes.size()));
    TRY(fs::syncFile(file));
    file.close();
    TRY(fs::rename(temp, path));
    return success();
  }();
  if (!done.ok()) {
    file.close();
    (void)fs::deleteFile(temp);
    return done;
  }
  // The rename is durable only once the folder itself is flushed.
  if (Result<fs::Dir> dir = fs::openDir(*folder); dir.ok()) (void)fs::syncDir(*dir);
  return success();
}

}  // namespace tl
