#include "app/main_command.h"

#include "common/paths.h"

namespace tl {

Result<std::optional<MainCommand>> selectEarlyCommand(const std::vector<std::string>& args,
                                                      const std::optional<std::string>& previewValue) {
  if (!args.empty() && (args[0] == "--prepare-update" || args[0] == "--apply-update")) {
    if (args.size() != 3 || args[2] != "--quiet") return Error::InvalidArguments;
    MainCommand c;
    c.role = args[0] == "--prepare-update" ? Role::PrepareUpdate : Role::ApplyUpdate;
    c.path = args[1];
    return std::optional<MainCommand>(c);
  }
  if (previewValue) {
    if (*previewValue != "all" && *previewValue != "error") return Error::InvalidInstallerUiPreview;
    MainCommand c;
    c.role = Role::Preview;
    c.previewErrorVariant = *previewValue == "error";
    return std::optional<MainCommand>(c);
  }
  return std::optional<MainCommand>();
}

Result<MainCommand> selectCommandByName(const std::vector<std::string>& args, std::string_view exeBaseName) {
  const std::size_t n = args.size();
  MainCommand c;
  if (n == 0) {
    if (asciiEqualIgnoreCase(exeBaseName, "uninstall.exe")) {
      c.role = Role::Uninstall;
    } else {
      c.role = Role::Installer;
    }
    return c;
  }
  const std::string& a1 = args[0];
  auto arg = [&](std::size_t i) -> std::string_view { return i < n ? std::string_view(args[i]) : ""; };
  if (a1 == "--uninstall") {
    c.role = Role::Uninstall;
    if (n == 1) return c;
    if (n == 2 && arg(1) == "--quiet") {
      c.uninstall.quiet = true;
      return c;
    }
    if (n == 3 && arg(1) == "--quiet" && arg(2) == "--delete-data") {
      c.uninstall = {true, true};
      return c;
    }
    return Error::InvalidArguments;
  }
  if (a1 == "--quiet") {
    c.role = Role::Uninstall;
    if (n == 1) {
      c.uninstall.quiet = true;
      return c;
    }
    if (n == 2 && arg(1) == "--delete-data") {
      c.uninstall = {true, true};
      return c;
    }
    return Error::InvalidArguments;
  }
  if (a1 == "--refresh-registration") {
    if (n == 1 || (n == 2 && arg(1) == "--quiet")) {
      c.role = Role::RefreshRegistration;
      return c;
    }
    return Error::InvalidArguments;
  }
  if (a1 == "--bootstrap-install" || a1 == "--refresh-registration-from-update") {
    if (n == 3 && !arg(1).empty() && arg(2) == "--quiet") {
      c.role = a1 == "--bootstrap-install" ? Role::BootstrapInstall : Role::RefreshRegistrationFromUpdate;
      c.path = args[1];
      return c;
    }
    return Error::InvalidArguments;
  }
  if (a1 == "--cleanup-uninstaller") {
    if (n == 4 || (n == 5 && arg(4) == "--delete-data")) {
      c.role = Role::CleanupUninstaller;
      c.managerPath = args[1];
      c.manifestPath = args[2];
      c.nonce = args[3];
      c.deleteData = n == 5;
      return c;
    }
    return Error::InvalidArguments;
  }
  return Error::InvalidArguments;
}

std::string_view executableBaseName(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && isPathSeparator(path[end - 1])) --end;
  std::size_t i = end;
  while (i > 0 && !isPathSeparator(path[i - 1])) --i;
  return path.substr(i, end - i);
}

}  // namespace tl
