// cmd.exe: "/d /c <script>" runs a batch file through the stand-in's
// interpreter; no other use of cmd.exe is known to the system.
#include <sys/stat.h>

#include "batch_interpreter.h"
#include "roles.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"
#include "win_path.h"

namespace standin {

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
  // or redirects at them, and it expands %name% there.
  if (script.find_first_of("&|<>^()@\"%") != std::string::npos) {
    throw Refusal("cmd.exe /c would not read the script path \"" + script + "\" as one name");
  }
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
