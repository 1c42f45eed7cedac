#include "update/update_launch.h"

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
  return process::spawnDetached(launcher, buildCommandLine({launcher}), opts);
}

}  // namespace tl
