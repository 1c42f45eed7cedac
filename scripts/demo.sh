#!/usr/bin/env bash
# Builds build/setup, makes a small sample application, packs it as two
# self-extracting installers (side files, and a block appended to the
# executable), installs both into a miniature Windows sandbox and shows what
# was installed.
#
# BUILD_DIR chooses the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build}

bash scripts/setup-deps.sh
cmake -S . -B "$build" -G Ninja
cmake --build "$build"

TL_BUILD_DIR="$root/$build" TL_SOURCE_DIR="$root" exec python3 - <<'PYTHON'
import json
import os
import shutil
import subprocess
import sys
import tarfile

root = os.environ["TL_SOURCE_DIR"]
build = os.environ["TL_BUILD_DIR"]
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
from sandbox import Sandbox, to_win  # noqa: E402

SETUP = os.path.join(build, "setup")
APP_ID = "com.example.demoapp"
NAME = "Demo App"
KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + APP_ID + ".stable"


def heading(text):
    print("\n\033[1m== %s ==\033[0m" % text if sys.stdout.isatty() else "\n== %s ==" % text, flush=True)


sb = Sandbox(prefix="tl-demo-")
work = os.path.join(sb.root, "packaging")
launcher_log = os.path.join(sb.root, "launcher-output.txt")


def make_app(version):
    """The application folder: named after the app name without spaces."""
    app = os.path.join(work, version, NAME.replace(" ", ""))
    os.makedirs(os.path.join(app, "Resources"))
    os.makedirs(os.path.join(app, "bin"))
    with open(os.path.join(app, "Resources", "version.json"), "w") as f:
        json.dump({"identifier": APP_ID, "name": NAME, "displayName": NAME, "channel": "stable",
                   "version": version, "hash": "demo-" + version.replace(".", "-")}, f)
    shutil.copy(SETUP, os.path.join(app, "Resources", "uninstall"))
    launcher = os.path.join(app, "bin", "launcher.exe")
    with open(launcher, "w") as f:
        f.write("#!/bin/sh\n"
                "line=\"$(date '+%%H:%%M:%%S') %s %s started as $0\"\n"
                "echo \"$line\"\n"
                "echo \"$line\" >> '%s'\n" % (NAME, version, launcher_log))
    os.chmod(launcher, 0o755)
    return app


def pack(app):
    """tar + zstd of the folder, its root folder first."""
    tar = app + ".tar"
    with tarfile.open(tar, "w", format=tarfile.PAX_FORMAT) as t:
        t.add(app, arcname=os.path.basename(app))
    subprocess.run(["zstd", "-q", "-f", "-19", tar, "-o", tar + ".zst"], check=True)
    return tar + ".zst"


def metadata(version):
    return json.dumps({"identifier": APP_ID, "name": NAME, "channel": "stable",
                       "hash": "demo-" + version.replace(".", "-")}).encode()


def side_installer(version, archive):
    d = os.path.join(sb.root, "Downloads", "side-" + version)
    os.makedirs(os.path.join(d, ".installer"))
    exe = os.path.join(d, "DemoSetup.exe")
    shutil.copy(SETUP, exe)
    with open(os.path.join(d, ".installer", "DemoSetup.metadata.json"), "wb") as f:
        f.write(metadata(version))
    shutil.copy(archive, os.path.join(d, ".installer", "DemoSetup.tar.zst"))
    return exe


def appended_installer(version, archive):
    d = os.path.join(sb.root, "Downloads")
    exe = os.path.join(d, "DemoSetup-%s.exe" % version)
    with open(SETUP, "rb") as f:
        body = f.read()
    with open(archive, "rb") as f:
        payload = f.read()
    with open(exe, "wb") as f:
        f.write(body + b"TAMBERLOCK_METADATA_V1" + metadata(version) + b"TAMBERLOCK_ARCHIVE_V1" + payload)
    os.chmod(exe, 0o755)
    return exe


def show_tree(path, prefix=""):
    entries = sorted(os.listdir(path))
    for i, name in enumerate(entries):
        p = os.path.join(path, name)
        last = i == len(entries) - 1
        extra = ""
        if os.path.islink(p):
            extra = " -> " + os.readlink(p)
        elif os.path.isfile(p):
            extra = "  (%d bytes)" % os.path.getsize(p)
        print(prefix + ("`-- " if last else "|-- ") + name + extra)
        if os.path.isdir(p) and not os.path.islink(p):
            show_tree(p, prefix + ("    " if last else "|   "))


def install(exe, what):
    heading("Installing with %s" % os.path.relpath(exe, sb.root))
    ui_log = os.path.join(sb.root, "progress-window-%s.log" % what)
    env = dict(sb.env, TAMBERLOCK_POSIX_UI_LOG=ui_log, TAMBERLOCK_INSTALLER_UI_AUTOCLOSE="1")
    p = subprocess.run([exe], env=env, cwd=os.path.dirname(exe), capture_output=True, text=True, timeout=300)
    print("standard error of the installer:")
    for line in p.stderr.splitlines():
        if line.startswith("DEBUG: Raw metadata as hex") and len(line) > 100:
            line = line[:100] + "... (shortened here)"
        print("  | " + line)
    print("exit code: %d" % p.returncode)
    print("progress window (headless dialog log):")
    with open(ui_log) as f:
        for line in f:
            print("  | " + line.rstrip("\n"))
    if p.returncode != 0:
        sys.exit("the installation failed")


os.makedirs(work)
heading("Sample application")
v1 = make_app("1.0.0")
show_tree(os.path.dirname(v1))
archive1 = pack(v1)
archive2 = pack(make_app("1.1.0"))
print("archives: %s (%d bytes), %s (%d bytes)" % (os.path.relpath(archive1, sb.root), os.path.getsize(archive1),
                                                  os.path.relpath(archive2, sb.root), os.path.getsize(archive2)))

side = side_installer("1.0.0", archive1)
appended = appended_installer("1.1.0", archive2)
heading("Installers")
show_tree(os.path.join(sb.root, "Downloads"))

install(side, "side-files")
install(appended, "appended")

channel = os.path.join(sb.local_app_data, APP_ID, "stable")
heading("Installed tree: " + to_win(channel))
show_tree(channel)

heading("Recipe (self-extraction); literal tar bytes shortened")
recipe_dir = os.path.join(channel, "self-extraction")
for name in sorted(os.listdir(recipe_dir)):
    with open(os.path.join(recipe_dir, name)) as f:
        recipe = json.load(f)
    for span in recipe["spans"]:
        if span.get("literal_hex") and len(span["literal_hex"]) > 24:
            span["literal_hex"] = span["literal_hex"][:24] + "...(%d bytes)" % (len(span["literal_hex"]) // 2)
    print(name + ":")
    print(json.dumps(recipe, indent=1))

heading("Shortcuts")
for folder in (sb.desktop, sb.start_menu_programs):
    for name in sorted(os.listdir(folder)):
        print(to_win(os.path.join(folder, name)) + ":")
        with open(os.path.join(folder, name)) as f:
            for line in f:
                print("  " + line.rstrip("\n"))

heading("reg.exe query " + KEY)
code, out, err = sb.reg_query(KEY)
print(out.replace("\r\n", "\n").rstrip("\n") or err)

heading("Launcher output")
for _ in range(200):
    if os.path.exists(launcher_log):
        with open(launcher_log) as f:
            if len(f.read().splitlines()) >= 2:
                break
    subprocess.run(["sleep", "0.05"])
with open(launcher_log) as f:
    print(f.read().rstrip("\n"))

print("\nThe sandbox stays for a look: %s (remove it with rm -rf)" % sb.root)
PYTHON
