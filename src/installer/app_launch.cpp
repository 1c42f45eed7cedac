#include "installer/app_launch.h"

#include <string>

#include "common/command_line.h"
#include "common/diagnostics.h"
#include "common/paths.h"
#include "platform/process.h"

namespace tl {

void launchInstalledApp(std::string_view appDir) {
  const std::string launcher = joinPath({appDir, "bin", "launcher.exe"});
  process::SpawnOptions opts;
  opts.streams = process::StdStreams::Null;
  opts.noWindow = false;  // the application shows its own window
  Status started = [&]() -> Status {
    std::string commandLine = TRY(buildCommandLine({launcher}));
    return process::spawnDetached(launcher, commandLine, opts);
  }();
  if (!started) {
    diagLine({"Warning: The application was installed, but it could not be launched: ", started.error()});
  }
}

}  // namespace tl
