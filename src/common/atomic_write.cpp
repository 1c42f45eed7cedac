#include "common/atomic_write.h"

#include <algorithm>
#include <optional>
#include <string>

#include "common/hex.h"
#include "common/paths.h"
#include "platform/io_context.h"

namespace tl {

namespace {

// 16 digits: two a byte of one random 64-bit value.
constexpr std::size_t kTemporaryDigits = 16;
// The most digits of a 64-bit number.
constexpr std::size_t kMaxDecimalDigits = 20;

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// A number as std::to_string writes it: 1 to 20 digits, no leading zero.
bool isPlainDecimal(std::string_view text) {
  if (text.empty() || text.size() > kMaxDecimalDigits || (text.size() > 1 && text[0] == '0')) return false;
  return std::all_of(text.begin(), text.end(), isDecimalDigit);
}

// What follows target + ".tmp-" in `name`, or nothing when it does not start so.
std::optional<std::string_view> temporaryPart(std::string_view name, std::string_view target) {
  if (!name.starts_with(target)) return std::nullopt;
  name.remove_prefix(target.size());
  if (!name.starts_with(kTemporaryInfix)) return std::nullopt;
  return name.substr(kTemporaryInfix.size());
}

// Write, flush, rename; on failure the temporary file goes. The folder is
// flushed afterwards, since only then is the rename itself durable.
Status writeThenRename(const fs::Dir& folder, std::string_view name, const AtomicFileFill& fill) {
  const std::string temp = atomicTemporaryName(name, io().randomU64());
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

std::string atomicTemporaryName(std::string_view target, std::uint64_t random) {
  std::uint8_t raw[8];
  for (int i = 0; i < 8; ++i) raw[i] = static_cast<std::uint8_t>(random >> (56 - 8 * i));
  std::string out(target);
  out += kTemporaryInfix;
  out += toLowerHex(raw, 8);
  return out;
}

bool isAtomicTemporaryNameOf(std::string_view name, std::string_view target) {
  const std::optional<std::string_view> part = temporaryPart(name, target);
  return part && isLowerHexOfLength(*part, kTemporaryDigits);
}

bool isAtomicTemporaryName(std::string_view name) {
  if (isLowerHexOfLength(name, kTemporaryDigits)) return true;
  const std::size_t tail = kTemporaryInfix.size() + kTemporaryDigits;
  return name.size() > tail && isAtomicTemporaryNameOf(name, name.substr(0, name.size() - tail));
}

std::string copyTemporaryName(std::string_view target, std::uint32_t processId, std::uint64_t count) {
  std::string out(target);
  out += kTemporaryInfix;
  out += std::to_string(processId);
  out += '-';
  out += std::to_string(count);
  return out;
}

bool isCopyTemporaryNameOf(std::string_view name, std::string_view target) {
  const std::optional<std::string_view> part = temporaryPart(name, target);
  if (!part) return false;
  const std::size_t dash = part->find('-');
  return dash != std::string_view::npos && isPlainDecimal(part->substr(0, dash)) &&
         isPlainDecimal(part->substr(dash + 1));
}

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
