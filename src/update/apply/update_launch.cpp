#include "update/apply/update_launch.h"

#include <optional>

#include "common/command_line.h"
#include "common/paths.h"
#include "platform/process.h"

namespace tl {

std::string launcherPath(std::string_view appFolder) { return joinPath({appFolder, "bin", "launcher.exe"}); }

Status launchAppWithoutWindow(std::string_view appFolder) {
  const std::string launcher = launcherPath(appFolder);
  const std::optional<std::string> folder = parentPath(launcher);
  if (!folder) return Error::InvalidUpdatePath;
  process::SpawnOptions opts;
  opts.workingDirectory = *folder;
  opts.streams = process::StdStreams::Null;
  opts.noWindow = true;
  const std::string commandLine = TRY(buildCommandLine({launcher}));
  return process::spawnDetached(launcher, commandLine, opts);
}

}  // namespace tl
