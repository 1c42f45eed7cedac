#include "update/interrupted_stages.h"

#include <string>
#include <vector>

#include "common/hex.h"

namespace tl {

namespace {

Status requireStageFolder(const fs::Dir& parent, std::string_view name) {
  const fs::FileStat st = TRY(fs::statAt(parent, name));
  if (st.kind != fs::FileKind::Directory) return Error::InvalidInterruptedUpdateStage;
  return success();
}

}  // namespace

bool isStageName(std::string_view name, std::string_view bundle, std::string_view infix) {
  if (name.size() != bundle.size() + infix.size() + 32) return false;
  if (!name.starts_with(bundle) || name.substr(bundle.size(), infix.size()) != infix) return false;
  return isHexId32(name.substr(bundle.size() + infix.size()));
}

Status removeInterruptedStages(const fs::Dir& parent, std::string_view bundle, std::string_view infix) {
  std::vector<std::string> stages;
  const std::vector<fs::DirEntry> entries = TRY(fs::listDir(parent));
  for (const fs::DirEntry& entry : entries) {
    if (!isStageName(entry.name, bundle, infix)) continue;
    TRY(requireStageFolder(parent, entry.name));
    stages.push_back(entry.name);
  }
  for (const std::string& name : stages) {
    TRY(requireStageFolder(parent, name));
    TRY(fs::deleteTreeAt(parent, name));
  }
  return success();
}

}  // namespace tl
