#include "update/apply/failed_update_state.h"

#include <optional>
#include <string>

#include "common/diagnostics.h"
#include "common/hex.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "update/prepared_update.h"

namespace tl {

namespace {

constexpr std::size_t kIdLength = 32;

// Takes `prefix` off the front of `text`.
bool takePrefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// Takes a 32-hex id off the front of `text`.
bool takeId(std::string_view& text) {
  if (!isHexId32(text.substr(0, kIdLength))) return false;
  text.remove_prefix(kIdLength);
  return true;
}

// The downloads and partial files a preparation leaves for hash H.
bool isPayloadState(std::string_view name, std::string_view hash) {
  std::string_view rest = name;
  if (takePrefix(rest, hash) && takePrefix(rest, ".tar.")) {
    return rest == "previous" || (takeId(rest) && rest == ".partial");
  }
  rest = name;
  if (takePrefix(rest, ".") && takePrefix(rest, hash) && takePrefix(rest, ".") && takeId(rest)) {
    return rest == ".tar.zst" || rest == ".tar.zst.partial";
  }
  return false;
}

bool isPreparedRecordName(std::string_view name) {
  if (name == kPreparedUpdateFileName) return true;
  std::string_view rest = name;
  if (!takePrefix(rest, kPreparedUpdateFileName) || !takePrefix(rest, ".")) return false;
  return rest == "previous" || (name.size() >= 8 && name.substr(name.size() - 8) == ".partial");
}

}  // namespace

Status invalidateFailedUpdateState(const UpdatePlan& plan, UpdatePhase phase) {
  if (phase != UpdatePhase::extracting && phase != UpdatePhase::validatingPayload) return success();
  const std::string_view source = TRY(planPayloadSource(plan));
  const std::optional<std::string> folderPath = parentPath(source);
  if (!folderPath) return Error::InvalidUpdatePath;
  const std::string_view sourceName = lastComponent(source);
  const PreparedUpdateView expected = preparedUpdateExpectation(plan);

  const fs::Dir folder = TRY(fs::openDir(*folderPath));
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(folder));
  for (const fs::DirEntry& e : entries) {
    if (e.kind != fs::FileKind::File) continue;
    const bool doomed = e.name == sourceName || isPayloadState(e.name, plan.hash) ||
                        (isPreparedRecordName(e.name) && preparedUpdateMatches(*folderPath, e.name, expected));
    if (!doomed) continue;
    const Status deleted = fs::deleteFileAt(folder, e.name);
    if (!deleted) diagLine({"Warning: Could not invalidate failed update state ", e.name, ": ", deleted.error()});
  }
  return success();
}

}  // namespace tl
