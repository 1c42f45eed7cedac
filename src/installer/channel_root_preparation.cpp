#include "installer/channel_root_preparation.h"

#include "common/paths.h"
#include "platform/fs.h"

namespace tl {

namespace {

Result<std::string> checkedLocalAppData() {
  std::string local = TRY(localAppDataRoot());
  local = TRY(resolvePath(local));
  if (!isAbsolutePath(local) || local == "\\") return Error::InvalidUninstallLocation;
  Result<fs::FileStat> st = fs::statNoFollow(local);
  if (!st || st->kind != fs::FileKind::Directory) return Error::InvalidUninstallLocation;
  return local;
}

}  // namespace

Result<std::string> installerChannelRoot(std::string_view identifier, std::string_view channel) {
  std::string local = TRY(checkedLocalAppData());
  return joinPath({local, identifier, channel});
}

Result<InstallLayout> prepareChannelRoot(std::string_view channelRoot, std::string_view identifier,
                                         std::string_view channel) {
  if (!isValidFileName(identifier) || !isValidFileName(channel)) return Error::InvalidUninstallLocation;
  std::string local = TRY(checkedLocalAppData());
  std::string identifierDir = joinPath({local, identifier});
  // Nothing is made anywhere but in <LocalAppData>\<identifier>\<name>.
  std::string root = TRY(resolvePath(channelRoot));
  std::optional<std::string> parent = parentPath(root);
  if (!parent || !isValidFileName(lastComponent(root))) return Error::InvalidUninstallLocation;
  bool placed = TRY(pathsEqualIgnoreCase(*parent, identifierDir));
  if (!placed) return Error::InvalidUninstallLocation;

  std::string realLocal = TRY(checkResolvedDirectory(local, std::nullopt));
  TRY(fs::makePath(identifierDir));
  (void)TRY(checkResolvedDirectory(identifierDir, std::string_view(joinPath({realLocal, identifier}))));
  TRY(fs::makePath(root));
  return resolveInstallLayout(root, identifier, channel);
}

}  // namespace tl
