"""A miniature Windows in a temporary folder, for end-to-end tests, the demo
and scripts/sandbox.sh.

    with Sandbox() as sb:
        subprocess.run([SETUP, ...], env=sb.env)
        sb.reg_values(r"HKCU\\Software\\...")

Layout under sb.root:
    Windows/System32/{reg,schtasks,cmd,ping}.exe      links to the stand-in
    Windows/System32/WindowsPowerShell/v1.0/powershell.exe
    Windows/state/                                    the stand-ins' state
    Users/me/{Desktop, AppData/Local, AppData/Local/Temp, AppData/Roaming}
    Users/me/AppData/Roaming/Microsoft/Windows/Start Menu/Programs

sb.env is a whole environment for a child: the caller's, less TAMBERLOCK_*
and SystemRoot-like variables, plus SystemRoot, LOCALAPPDATA, USERPROFILE,
APPDATA, TEMP and TMP in Windows form ("Z:\\tmp\\..."); sb.windows_vars has
those six alone. The stand-ins' ping pause is shortened to `ping_ms`
(state/ping-ms) unless ping_ms is None.
"""
import json
import os
import shutil
import subprocess
import tempfile
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD_DIR = os.environ.get("TL_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")

ROLES = ("reg.exe", "schtasks.exe", "cmd.exe", "ping.exe", "powershell.exe")
_WINDOWS_VARS = ("SystemRoot", "LOCALAPPDATA", "USERPROFILE", "APPDATA", "TEMP", "TMP")
SHORTCUT_HEADER = "[TamberlockStandInShortcut]"
SHORTCUT_KEYS = ("TargetPath", "Arguments", "WorkingDirectory", "IconLocation", "WindowStyle",
                 "Description", "Hotkey")


def wait_for(predicate, timeout=10.0):
    """Polls predicate until it holds or timeout seconds pass: whether it held."""
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def running_with(*needles):
    """Processes whose command line holds every needle (bytes)."""
    running = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read()
        except OSError:
            continue  # ended meanwhile
        if all(n in command for n in needles):
            running.append(pid)
    return running


def to_win(path):
    """Host path -> Windows form: "/tmp/x" -> "Z:\\tmp\\x"."""
    path = os.path.abspath(path)
    return "Z:" + path.replace("/", "\\")


def to_host(win):
    """Windows form -> host path: "Z:\\tmp\\x" -> "/tmp/x" (no case folding)."""
    if win[:2].upper() == "Z:":
        win = win[2:]
    elif win[1:2] == ":":
        raise ValueError("only drive Z: exists here: %r" % win)
    return "/" + win.replace("\\", "/").lstrip("/")


def standin_binary(build_dir=None):
    """The stand-in executable of a build."""
    build_dir = build_dir or BUILD_DIR
    linked = os.path.join(build_dir, "windows", "System32", "reg.exe")
    if os.path.exists(linked):
        return os.path.realpath(linked)
    direct = os.path.join(build_dir, "standin")
    if os.path.exists(direct):
        return direct
    raise FileNotFoundError("no stand-in in %s (build the 'standin' target)" % build_dir)


def _quote_rule_token(token):
    if token and not any(c in token for c in ' \t"'):
        return token
    return '"' + token.replace('"', '""') + '"'


class Sandbox:
    def __init__(self, build_dir=None, ping_ms=20, prefix="tl-sandbox-", root=None):
        """A new temporary folder, or `root` (made when missing; an earlier
        sandbox there keeps its state and gets its links renewed)."""
        if root is None:
            self.root = tempfile.mkdtemp(prefix=prefix)
        else:
            self.root = os.path.abspath(root)
            os.makedirs(self.root, exist_ok=True)
        self.binary = standin_binary(build_dir)
        self.windows = os.path.join(self.root, "Windows")
        self.system32 = os.path.join(self.windows, "System32")
        self.state = os.path.join(self.windows, "state")
        self.profile = os.path.join(self.root, "Users", "me")
        self.local_app_data = os.path.join(self.profile, "AppData", "Local")
        self.app_data = os.path.join(self.profile, "AppData", "Roaming")
        self.temp = os.path.join(self.local_app_data, "Temp")
        self.desktop = os.path.join(self.profile, "Desktop")
        self.start_menu_programs = os.path.join(self.app_data, "Microsoft", "Windows", "Start Menu",
                                                "Programs")
        for d in (self.state, self.local_app_data, self.app_data, self.temp, self.desktop,
                  self.start_menu_programs, os.path.join(self.system32, "WindowsPowerShell", "v1.0")):
            os.makedirs(d, exist_ok=True)
        for role in ROLES:
            if os.path.lexists(self.tool(role)):
                os.unlink(self.tool(role))
            os.symlink(self.binary, self.tool(role))
        # The variables that make this folder the user's Windows.
        self.windows_vars = {
            "SystemRoot": to_win(self.windows),
            "LOCALAPPDATA": to_win(self.local_app_data),
            "USERPROFILE": to_win(self.profile),
            "APPDATA": to_win(self.app_data),
            "TEMP": to_win(self.temp),
            "TMP": to_win(self.temp),
        }
        env = {k: v for k, v in os.environ.items()
               if not k.upper().startswith("TAMBERLOCK_") and k.upper() not in
               {n.upper() for n in _WINDOWS_VARS}}
        env.update(self.windows_vars)
        self.env = env
        if ping_ms is not None:
            self.set_ping_ms(ping_ms)

    # -- life cycle
    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    # -- the stand-ins
    def tool(self, role):
        """Host path of a stand-in link, e.g. tool("powershell.exe")."""
        if role.lower() == "powershell.exe":
            return os.path.join(self.system32, "WindowsPowerShell", "v1.0", "powershell.exe")
        return os.path.join(self.system32, role)

    def run_tool(self, role, *args, env=None, cwd=None, argv0=None, timeout=60):
        """Runs a stand-in as `role`; returns the CompletedProcess (bytes).

        argv0 defaults to the Windows-form path, as the system starts it."""
        path = self.tool(role)
        argv = [argv0 or to_win(path)] + list(args)
        return subprocess.run(argv, executable=path, capture_output=True, env=env or self.env,
                              cwd=cwd, timeout=timeout)

    def reg_query(self, key, view=64):
        """reg.exe query <key> /reg:<view> -> (returncode, stdout, stderr) as text."""
        p = self.run_tool("reg.exe", "query", key, "/reg:%d" % view)
        return p.returncode, p.stdout.decode("utf-8", "surrogateescape"), \
            p.stderr.decode("utf-8", "surrogateescape")

    def reg_values(self, key, view=64):
        """The key's values as {name: (type, data)}, data as reg.exe shows it
        (REG_DWORD as "0x1"); None when the key does not exist."""
        code, out, err = self.reg_query(key, view)
        if code == 1:
            return None
        if code != 0:
            raise RuntimeError("reg.exe query failed (%d): %s" % (code, err))
        values = {}
        for line in out.split("\r\n"):
            if line.startswith("    "):
                name, typ, data = line[4:].split("    ", 2)
                values[name] = (typ, data)
        return values

    def schtasks(self, *args):
        return self.run_tool("schtasks.exe", *args)

    def task_exists(self, name):
        return self.schtasks("/query", "/tn", name).returncode == 0

    def create_task(self, name, command="Z:\\x.exe"):
        p = self.schtasks("/create", "/tn", name, "/tr", command, "/sc", "ONCE", "/st", "00:00", "/f")
        if p.returncode != 0:
            raise RuntimeError(p.stderr.decode())

    # -- state
    def calls(self, role=None):
        """Every logged call as [role, arg1, ...], oldest first; only one role's when given."""
        path = os.path.join(self.state, "calls.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            entries = [json.loads(line) for line in f if line.strip()]
        return [e for e in entries if role is None or e[0] == role]

    def clear_calls(self):
        path = os.path.join(self.state, "calls.log")
        if os.path.exists(path):
            os.unlink(path)

    def add_fault(self, role, *patterns, exit_code=None, times=None, exited=False):
        """Appends a fault rule: role and argument patterns (a lone "*" takes
        any run of arguments), optionally the exit status and how often it
        fires; `exited` (Stop-Process only) ends the process before its stop."""
        line = " ".join(_quote_rule_token(t) for t in (role,) + patterns)
        options = ["exited"] if exited else []
        if exit_code is not None:
            options.append("exit %d" % exit_code)
        if times is not None:
            options.append("times %d" % times)
        if options:
            line += " => " + " ".join(options)
        with open(os.path.join(self.state, "faults"), "a", encoding="utf-8",
                  errors="surrogateescape") as f:
            f.write(line + "\n")

    def clear_faults(self):
        path = os.path.join(self.state, "faults")
        if os.path.exists(path):
            os.unlink(path)

    def add_share(self, name, folder):
        """Makes the share `name` ("\\\\server\\share") stand for the host `folder`."""
        with open(os.path.join(self.state, "shares"), "a", encoding="utf-8") as f:
            f.write("%s=%s\n" % (name, to_win(folder)))

    def set_ping_ms(self, ms):
        with open(os.path.join(self.state, "ping-ms"), "w") as f:
            f.write("%d\n" % ms)

    def set_shell_folder(self, name, text):
        """Makes the folder query for `name` (DesktopDirectory, Programs) print `text`."""
        with open(os.path.join(self.state, "shell-folders"), "a", encoding="utf-8") as f:
            f.write("%s=%s\n" % (name, text))

    # -- shortcuts
    @staticmethod
    def write_shortcut(path, target, working_dir="", icon="", window_style=1, **extra):
        """Writes a stand-in shortcut file at the host path."""
        fields = {"TargetPath": target, "WorkingDirectory": working_dir, "IconLocation": icon,
                  "WindowStyle": str(window_style)}
        fields.update(extra)
        text = SHORTCUT_HEADER + "\n" + "".join("%s=%s\n" % kv for kv in fields.items())
        with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
            f.write(text)

    @staticmethod
    def read_shortcut(path):
        """The shortcut's fields as a dict, or None when the file is no stand-in shortcut."""
        try:
            with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
                text = f.read()
        except (FileNotFoundError, IsADirectoryError):
            return None
        lines = text.split("\n")
        if not text.endswith("\n") or lines[0] != SHORTCUT_HEADER:
            return None
        fields = {}
        for line in lines[1:-1]:
            key, sep, value = line.partition("=")
            if not sep or key not in SHORTCUT_KEYS or key in fields:
                return None
            fields[key] = value
        return fields
