// One program for every Windows tool the system starts; the name it is
// started by picks the role.
#include <cstdio>
#include <exception>
#include <string>

#include "call_log.h"
#include "fault_rules.h"
#include "roles.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"
#include "win_path.h"

namespace {

using Runner = int (*)(const standin::Args&);

struct Role {
  const char* name;
  Runner run;
};

constexpr Role kRoles[] = {
    {"reg.exe", standin::runReg},         {"schtasks.exe", standin::runSchtasks},
    {"powershell.exe", standin::runPowerShell}, {"cmd.exe", standin::runCmd},
    {"ping.exe", standin::runPing},
};

void say(const std::string& role, const std::string& text) {
  std::fprintf(stderr, "stand-in %s: %s\n", role.c_str(), text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string invoked = argc > 0 && argv[0] ? argv[0] : "";
  std::string role = standin::lowerAscii(standin::baseName(invoked));
  const Role* found = nullptr;
  for (const Role& r : kRoles) {
    if (role == r.name) found = &r;
  }
  if (!found) {
    std::fprintf(stderr,
                 "stand-in: unknown role \"%s\"; start this program as reg.exe, schtasks.exe, "
                 "powershell.exe, cmd.exe or ping.exe\n",
                 role.c_str());
    return standin::kRefusedExit;
  }
  standin::setInvokedPath(invoked);
  standin::Args args(argv + 1, argv + argc);
  try {
    {
      standin::StateLock lock;
      standin::logCall(found->name, args);
      if (std::optional<standin::FiredFault> f = standin::matchFault(found->name, args)) {
        say(role, "failing as fault rule line " + std::to_string(f->line) + " says");
        return f->exitCode;
      }
    }
    int code = found->run(args);
    std::fflush(stdout);
    return code;
  } catch (const standin::Refusal& r) {
    std::fflush(stdout);
    say(role, std::string("refused: ") + r.what());
    return standin::kRefusedExit;
  } catch (const standin::ToolFailure& f) {
    std::fflush(stdout);
    std::fputs(f.what(), stderr);
    return f.code;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    say(role, std::string("internal error: ") + e.what());
    return 70;
  }
}
