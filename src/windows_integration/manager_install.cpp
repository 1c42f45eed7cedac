#include "windows_integration/manager_install.h"

#include "common/paths.h"
#include "common/wtf8.h"
#include "native_ui/native_file.h"

namespace tl {

namespace {

// A link or a non-folder where a managed folder belongs.
Error mapManagedOpenError(Error e) {
  return (e == Error::NotDir || e == Error::SymLinkLoop) ? Error::InvalidUninstallLocation : e;
}

Result<fs::Dir> openSubdirNoFollow(const fs::Dir& parent, std::string_view component) {
  Result<fs::Dir> dir = fs::openDirAt(parent, component);
  if (!dir) return mapManagedOpenError(dir.error());
  return dir;
}

}  // namespace

Result<fs::Dir> openManagedSubdir(std::string_view path, std::string_view component) {
  Result<fs::Dir> parent = fs::openDir(path, /*noFollowLast=*/true);
  if (!parent) return mapManagedOpenError(parent.error());
  return openSubdirNoFollow(*parent, component);
}

Result<fs::Dir> openChannelRoot(const InstallLayout& layout, std::string_view identifier) {
  fs::Dir identifierDir = TRY(openManagedSubdir(layout.localAppData, identifier));
  return openSubdirNoFollow(identifierDir, lastComponent(layout.channelRoot));
}

Status attestManagerInBundle(std::string_view appDir, std::string_view realParent) {
  std::string realApp = TRY(checkResolvedDirectory(appDir, joinPath({realParent, lastComponent(appDir)})));
  std::string realResources =
      TRY(checkResolvedDirectory(joinPath({appDir, "Resources"}), joinPath({realApp, "Resources"})));
  const std::string manager = joinPath({appDir, "Resources", "uninstall"});
  Result<fs::FileStat> st = fs::statNoFollow(manager);
  if (!st || st->kind != fs::FileKind::File) return Error::InvalidUninstallManager;
  std::string realManager = TRY(fs::realPath(manager));
  bool placed = TRY(pathsEqualIgnoreCase(realManager, joinPath({realResources, "uninstall"})));
  if (!placed) return Error::InvalidUninstallManager;
  return success();
}

Status attestBundledManager(const InstallLayout& layout) {
  std::string realRoot = TRY(fs::realPath(layout.channelRoot));
  return attestManagerInBundle(layout.appDir, realRoot);
}

Status copyFileReplacing(std::string_view source, std::string_view destination) {
  if (!isValidWtf8(source) || !isValidWtf8(destination)) return Error::InvalidWtf8;
  if (!replaceFileAtomically(source, destination)) return Error::WindowsManagerCopyFailed;
  return success();
}

}  // namespace tl
