#pragma once
// The command forms main accepts and the role each one selects.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "uninstall/uninstall_flow.h"

namespace tl {

enum class Role {
  PrepareUpdate,
  ApplyUpdate,
  Preview,
  Uninstall,
  Installer,
  RefreshRegistration,
  BootstrapInstall,
  RefreshRegistrationFromUpdate,
  CleanupUninstaller,
};

struct MainCommand {
  Role role = Role::Installer;
  UninstallOptions uninstall;
  bool previewErrorVariant = false;  // preview "error" instead of "all"
  std::string path;                  // request, plan or channel root
  std::string managerPath, manifestPath, nonce;  // clean-up copy
  bool deleteData = false;
};

// Steps that need neither the executable's name nor a second parse: the
// update roles and the preview. Returns none when the name decides.
[[nodiscard]] Result<std::optional<MainCommand>> selectEarlyCommand(
    const std::vector<std::string>& args, const std::optional<std::string>& previewValue);
// The rest of the dispatch, by the executable's base name and the option table.
[[nodiscard]] Result<MainCommand> selectCommandByName(const std::vector<std::string>& args,
                                                      std::string_view exeBaseName);
// The text after the last '\' or '/' once trailing separators are dropped.
std::string_view executableBaseName(std::string_view path);

}  // namespace tl
