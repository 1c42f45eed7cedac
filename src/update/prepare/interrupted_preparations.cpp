#include "update/prepare/interrupted_preparations.h"

#include <vector>

#include "common/atomic_write.h"
#include "common/hex.h"

namespace tl {

namespace {

constexpr std::string_view kPatchPrefix = ".patch-";
constexpr std::string_view kPatchSuffix = ".partial";

}  // namespace

bool isPatchFileName(std::string_view name) {
  if (!name.starts_with(kPatchPrefix) || !name.ends_with(kPatchSuffix)) return false;
  name.remove_prefix(kPatchPrefix.size());
  name.remove_suffix(kPatchSuffix.size());
  if (name.size() < 34 || !isHexId32(name.substr(0, 32)) || name[32] != '-') return false;
  const std::string_view index = name.substr(33);
  if (index.size() > 2 || (index.size() > 1 && index[0] == '0')) return false;
  for (char c : index) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

Status removeInterruptedFiles(const fs::Dir& selfExtraction) {
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(selfExtraction));
  for (const fs::DirEntry& entry : entries) {
    if (entry.kind == fs::FileKind::File && (isPatchFileName(entry.name) || isAtomicTemporaryName(entry.name))) {
      TRY(fs::deleteFileAt(selfExtraction, entry.name));
    }
  }
  return success();
}

}  // namespace tl
