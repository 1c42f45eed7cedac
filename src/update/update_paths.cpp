#include "update/update_paths.h"

#include <optional>

#include "common/install_layout.h"
#include "common/paths.h"
#include "platform/fs.h"
#include "windows_integration/uninstall_manifest.h"

namespace tl {

namespace {

bool isKind(fs::FileKind kind, PathKind wanted) {
  return wanted == PathKind::directory ? kind == fs::FileKind::Directory : kind == fs::FileKind::File;
}

}  // namespace

Status validateUpdatePath(std::string_view path) {
  const bool normal = TRY(isNormalisedAbsolutePath(path));
  if (!normal) return Error::InvalidUpdatePath;
  return success();
}

Status requirePathWithin(std::string_view root, std::string_view child, PathKind kind) {
  TRY(validateUpdatePath(root));
  TRY(validateUpdatePath(child));
  const std::optional<std::string> parent = parentPath(child);
  if (!parent) return Error::InvalidUpdatePath;
  const bool inRoot = TRY(pathsEqualIgnoreCase(*parent, root));
  if (!inRoot) return Error::InvalidUpdatePath;
  const Result<fs::FileStat> st = fs::statNoFollow(child);
  if (!st.ok() || !isKind(st->kind, kind)) return Error::InvalidUpdatePath;
  const std::string realRoot = TRY(fs::realPath(root));
  const std::string realChild = TRY(fs::realPath(child));
  const bool same = TRY(pathsEqualIgnoreCase(joinPath({realRoot, lastComponent(child)}), realChild));
  if (!same) return Error::InvalidUpdatePath;
  return success();
}

Status requireDirectory(std::string_view path) {
  const Result<fs::FileStat> st = fs::statNoFollow(path);
  if (!st.ok() || st->kind != fs::FileKind::Directory) return Error::InvalidUpdatePath;
  return success();
}

Status requireFileOrNothingAt(const fs::Dir& folder, std::string_view name) {
  const Result<fs::FileStat> existing = fs::statAt(folder, name);
  if (existing.ok()) return existing->kind == fs::FileKind::File ? success() : Status(Error::InvalidUpdatePath);
  return existing.error() == Error::FileNotFound ? success() : existing.error();
}

Result<std::string> updateHomeDir(std::string_view identifier) {
  Result<std::string> local = localAppDataRoot();
  if (!local.ok()) {
    return local.error() == Error::EnvironmentVariableNotFound ? Error::MissingUpdateHome : local.error();
  }
  return resolvePath({*local, identifier});
}

Result<std::string> installHomeDir(std::string_view identifier, std::string_view channel) {
  if (!isKnownChannel(channel) || !isValidFileName(identifier) || !isValidFileName(channel)) {
    return Error::InvalidUpdateIdentity;
  }
  const std::string local = TRY(localAppDataRoot());
  return joinPath({local, identifier});
}

}  // namespace tl
