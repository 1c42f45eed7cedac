"""The demo's sample application ("Demo App") and its installers, for
scripts/demo.sh and scripts/sandbox.sh.

make_installers(folder, setup, launcher_log) makes, below `folder`:
    packaging/<version>/DemoApp/...           the application, as the framework lays it out
    packaging/<version>/DemoApp.tar.zst        its archive
    Downloads/side-1.0.0/DemoSetup.exe         installer with side files in .installer/
    Downloads/DemoSetup-1.1.0.exe              installer with the payload appended
The launcher of each version prints a line and appends it to `launcher_log`.
"""
import json
import os
import shutil
import subprocess
import tarfile

APP_ID = "com.example.demoapp"
NAME = "Demo App"
CHANNEL = "stable"
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + APP_ID + "." + CHANNEL
SIDE_VERSION = "1.0.0"
APPENDED_VERSION = "1.1.0"


def build_hash(version):
    return "demo-" + version.replace(".", "-")


def make_app(folder, version, setup, launcher_log):
    """The application folder: named after the app name without spaces."""
    app = os.path.join(folder, "packaging", version, NAME.replace(" ", ""))
    os.makedirs(os.path.join(app, "Resources"))
    os.makedirs(os.path.join(app, "bin"))
    with open(os.path.join(app, "Resources", "version.json"), "w") as f:
        json.dump({"identifier": APP_ID, "name": NAME, "displayName": NAME, "channel": CHANNEL,
                   "version": version, "hash": build_hash(version)}, f)
    shutil.copy(setup, os.path.join(app, "Resources", "uninstall"))
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
    os.unlink(tar)
    return tar + ".zst"


def metadata(version):
    return json.dumps({"identifier": APP_ID, "name": NAME, "channel": CHANNEL,
                       "hash": build_hash(version)}).encode()


def side_installer(folder, version, archive, setup):
    d = os.path.join(folder, "Downloads", "side-" + version)
    os.makedirs(os.path.join(d, ".installer"))
    exe = os.path.join(d, "DemoSetup.exe")
    shutil.copy(setup, exe)
    with open(os.path.join(d, ".installer", "DemoSetup.metadata.json"), "wb") as f:
        f.write(metadata(version))
    shutil.copy(archive, os.path.join(d, ".installer", "DemoSetup.tar.zst"))
    return exe


def appended_installer(folder, version, archive, setup):
    d = os.path.join(folder, "Downloads")
    os.makedirs(d, exist_ok=True)
    exe = os.path.join(d, "DemoSetup-%s.exe" % version)
    with open(setup, "rb") as f:
        body = f.read()
    with open(archive, "rb") as f:
        payload = f.read()
    with open(exe, "wb") as f:
        f.write(body + b"TAMBERLOCK_METADATA_V1" + metadata(version) + b"TAMBERLOCK_ARCHIVE_V1" + payload)
    os.chmod(exe, 0o755)
    return exe


def make_installers(folder, setup, launcher_log):
    """Both versions packed, and their installers: (side, appended)."""
    side = pack(make_app(folder, SIDE_VERSION, setup, launcher_log))
    appended = pack(make_app(folder, APPENDED_VERSION, setup, launcher_log))
    return (side_installer(folder, SIDE_VERSION, side, setup),
            appended_installer(folder, APPENDED_VERSION, appended, setup))


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
