// cmd.exe: "/d /c <script>" runs a batch file through the stand-in's
// interpreter; no other use of cmd.exe is known to the system.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "batch_interpreter.h"
#include "environment.h"
#include "roles.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"
#include "win_path.h"

namespace standin {

namespace {

// cmd.exe will not run in a folder on a share: it says so and goes on in the
// Windows folder, where a relative script path then points.
void leaveAShare() {
  std::string cwd = currentDirectory();
  if (cwd.rfind("\\\\", 0) != 0) return;
  std::fprintf(stderr,
               "'%s'\r\nCMD.EXE was started with the above path as the current directory.\r\n"
               "UNC paths are not supported.  Defaulting to Windows directory.\r\n",
               cwd.c_str());
  std::optional<std::string> windows = envGet("SystemRoot");
  std::optional<std::string> host = windows ? toHostPath(*windows) : std::nullopt;
  if (!host || ::chdir(host->c_str()) != 0) throw Refusal("no Windows folder to fall back to from " + cwd);
}

}  // namespace

int runCmd(const Args& args) {
  if (args.size() != 3 || !equalsAsciiIgnoreCase(args[0], "/d") || !equalsAsciiIgnoreCase(args[1], "/c")) {
    throw Refusal("expected /d /c <script path>");
  }
  const std::string& script = args[2];
  if (!endsWithAsciiIgnoreCase(script, ".cmd") && !endsWithAsciiIgnoreCase(script, ".bat")) {
    throw Refusal("\"" + script + "\" is not a batch file");
  }
  // cmd.exe takes the rest of its command line after /c as a command: it
  // strips the quotes around a path that holds any of these and then splits
  // or redirects at them, and it expands %name% there. ';', ',' and '='
  // separate a command's name from its arguments (refused whether quoted or
  // not: which cmd.exe honours inside quotes is not relied on).
  if (script.find_first_of("&|<>^()@\"%;,=") != std::string::npos) {
    throw Refusal("cmd.exe /c would not read the script path \"" + script + "\" as one name");
  }
  leaveAShare();
  std::optional<std::string> host = toHostPath(script);
  struct stat st {};
  if (!host || ::stat(host->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::string msg = "The system cannot find the path specified.\r\n";
    throw ToolFailure(1, msg);
  }
  std::optional<std::string> bytes = readHostFile(*host);
  if (!bytes) throw ToolFailure(1, "The system cannot find the path specified.\r\n");
  return runBatch(script, *bytes);
}

}  // namespace standin
