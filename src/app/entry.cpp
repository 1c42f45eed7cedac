#include "app/entry.h"

#include <optional>
#include <string>
#include <vector>

#include "app/installer_ui_preview.h"
#include "app/main_command.h"
#include "common/command_line.h"
#include "common/diagnostics.h"
#include "common/out_of_memory.h"
#include "common/wtf8.h"
#include "installer/self_extracting_installer.h"
#include "native_ui/progress_reporter.h"
#include "platform/console.h"
#include "platform/env.h"
#include "platform/io_context.h"
#include "platform/process.h"
#include "uninstall/cleanup_copy.h"
#include "uninstall/uninstall_flow.h"
#include "update/apply/apply_driver.h"
#include "update/prepare/prepare_driver.h"
#include "windows_integration/bootstrap_install.h"
#include "windows_integration/registration_refresh.h"

namespace tl {

namespace {

// The installer queries its own path into a buffer of this many bytes; a
// path of exactly this length fits (no terminator is stored).
constexpr std::size_t kInstallerPathBuffer = 1024;

// The arguments after the program name, as WTF-8 byte strings.
Result<std::vector<std::string>> commandLineArguments(int argc, char** argv) {
  return catchingOutOfMemory([&]() -> Result<std::vector<std::string>> {
    std::u16string line = process::commandLineFromArgv(argc, argv);
    std::vector<std::u16string> parts = splitCommandLine(line);
    std::vector<std::string> args;
    for (std::size_t i = 1; i < parts.size(); ++i) args.push_back(utf16ToWtf8(parts[i]));
    return args;
  });
}

Status runInstallerRole() {
  {
    std::lock_guard<std::recursive_mutex> lock(stderrMutex());
    writeDiag({"Self-extractor v1.3 starting...\n"});
  }
  std::string exe = TRY(process::ownExecutablePath());
  if (exe.size() > kInstallerPathBuffer) return Error::NameTooLong;
  Result<InstallerOutcome> outcome = runSelfExtractingInstaller(exe);
  if (!outcome.ok()) {
    showFailureWindow("The installer package is invalid or could not be read. Download it again and retry.");
    return outcome.error();
  }
  if (*outcome == InstallerOutcome::NoPayloadFound) {
    printInvalidInstallerError();
    showFailureWindow(
        "The installer package is incomplete. Download it again and keep its .installer folder beside Setup.");
    return Error::InvalidInstaller;
  }
  return success();
}

Status runRole(const MainCommand& c) {
  switch (c.role) {
    case Role::PrepareUpdate:
      return runPrepareUpdate(c.path);
    case Role::ApplyUpdate:
      return runApplyUpdate(c.path);
    case Role::Preview:
      return runInstallerUiPreview(c.previewErrorVariant);
    case Role::Uninstall:
      return runUninstall(c.uninstall);
    case Role::Installer:
      return runInstallerRole();
    case Role::RefreshRegistration:
      return refreshRegistration();
    case Role::BootstrapInstall: {
      Status s = bootstrapInstall(c.path);
      if (!s.ok()) printBootstrapFailure(s.error());
      return s;
    }
    case Role::RefreshRegistrationFromUpdate:
      return refreshRegistrationFromUpdate(c.path);
    case Role::CleanupUninstaller:
      return cleanupUninstaller(c.managerPath, c.manifestPath, c.nonce, c.deleteData);
  }
  return Error::InvalidArguments;
}

Status dispatch(int argc, char** argv) {
  std::vector<std::string> args = TRY(commandLineArguments(argc, argv));
  std::optional<MainCommand> early = TRY(selectEarlyCommand(args, env::get("TAMBERLOCK_INSTALLER_UI_PREVIEW")));
  if (early) return runRole(*early);
  std::string exe = TRY(process::ownExecutablePath());
  MainCommand c = TRY(selectCommandByName(args, executableBaseName(exe)));
  return runRole(c);
}

}  // namespace

int processEntry(int argc, char** argv) {
  console::setupStandardStreams();
  // Before any other thread exists, as the HTTP client library asks.
  initPrepareUpdate();
  IoContext ctx;
  setIo(&ctx);
  env::buildFromProcess();
  if (env::get("TAMBERLOCK_BOOTSTRAP_TRACE")) setBootstrapTrace(true);
  Status s = dispatch(argc, argv);
  setIo(nullptr);
  if (!s.ok()) {
    logMainError(s.error());
    return 1;
  }
  return 0;
}

}  // namespace tl
