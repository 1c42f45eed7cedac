"""Makes (or renews) a miniature Windows for running the program by hand;
run by scripts/sandbox.sh once build/setup is built.

    python3 scripts/sandbox.py FOLDER

FOLDER gets the layout of tests/e2e/sandbox.py, the demo's two installers in
Downloads/ (made anew each time; an installation there is kept), and env.sh:
the variables that make FOLDER the user's Windows, for a shell to source.
"""
import os
import shlex
import shutil
import sys

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
import demo_app  # noqa: E402
from sandbox import Sandbox  # noqa: E402

BUILD_DIR = os.environ.get("TL_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")

ENV_SH = """\
# The environment of the miniature Windows in %(root)s, for bash:
# . %(env_sh)s
# The user's start-up file first, so that what follows wins over it.
if [ -n "${TL_SANDBOX_SHELL:-}" ] && [ -f ~/.bashrc ]; then . ~/.bashrc; fi
unset TL_SANDBOX_SHELL
# Names are matched ignoring case, as Windows does: no other spelling of these
# may stay behind, and no setting of the program's own from elsewhere.
for name in $(compgen -e); do
  case "${name^^}" in
    SYSTEMROOT|LOCALAPPDATA|USERPROFILE|APPDATA|TEMP|TMP|TAMBERLOCK_*) unset "$name" ;;
  esac
done
unset name
export SANDBOX=%(root_q)s
%(exports)s
# Windows of the program are headless: their log, and the installer's window
# closes itself at the end instead of waiting for a click.
export TAMBERLOCK_POSIX_UI_LOG="$SANDBOX/ui.log"
export TAMBERLOCK_INSTALLER_UI_AUTOCLOSE=1
# reg.exe, schtasks.exe ... at hand, as in a Windows console.
export PATH="$SANDBOX/Windows/System32:$SANDBOX/Windows/System32/WindowsPowerShell/v1.0:$PATH"
PS1="(sandbox) ${PS1:-\\$ }"
"""


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: sandbox.py FOLDER")
    sb = Sandbox(build_dir=BUILD_DIR, root=sys.argv[1], ping_ms=None)
    for made in ("packaging", "Downloads"):
        shutil.rmtree(os.path.join(sb.root, made), ignore_errors=True)
    # No update server runs here: the base URL only completes the identity.
    demo_app.make_installers(sb.root, os.path.join(BUILD_DIR, "setup"),
                             os.path.join(sb.root, "launcher-output.txt"), "https://updates.example.com/demo")
    env_sh = os.path.join(sb.root, "env.sh")
    exports = "\n".join("export %s=%s" % (k, shlex.quote(v)) for k, v in sb.windows_vars.items())
    with open(env_sh, "w") as f:
        f.write(ENV_SH % {"root": sb.root, "env_sh": shlex.quote(env_sh), "root_q": shlex.quote(sb.root),
                          "exports": exports})


if __name__ == "__main__":
    main()
