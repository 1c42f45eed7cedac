"""The demo's sample application ("Demo App") and its installers, for
scripts/demo.sh and scripts/sandbox.sh.

make_installers(folder, setup, launcher_log, base_url) makes, below `folder`:
    packaging/<version>/DemoApp/...           the application, as the framework lays it out
    packaging/<version>/DemoApp.tar           its archive, and compressed:
    packaging/<version>/DemoApp.tar.zst
    Downloads/side-1.0.0/DemoSetup.exe         installer with side files in .installer/
    Downloads/DemoSetup-1.1.0.exe              installer with the payload appended
The launcher of each version prints a line and appends it to `launcher_log`;
`base_url` is where the application's updater looks for newer versions.
publish_update(...) makes a further version and serves it there as a full
archive and as a patch from an installed version.
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
    """1 to 13 of 0-9, a-z, as the updater requires: "demo110" for 1.1.0."""
    return "demo" + version.replace(".", "")


def make_app(folder, version, setup, launcher_log, base_url):
    """The application folder: named after the app name without spaces."""
    app = os.path.join(folder, "packaging", version, NAME.replace(" ", ""))
    os.makedirs(os.path.join(app, "Resources"))
    os.makedirs(os.path.join(app, "bin"))
    with open(os.path.join(app, "Resources", "version.json"), "w") as f:
        json.dump({"identifier": APP_ID, "name": NAME, "displayName": NAME, "channel": CHANNEL,
                   "version": version, "hash": build_hash(version), "baseUrl": base_url}, f)
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
    """tar + zstd of the folder, its root folder first. The tar stays: a
    patch is made between the exact archives that were shipped."""
    tar = app + ".tar"
    with tarfile.open(tar, "w", format=tarfile.PAX_FORMAT) as t:
        t.add(app, arcname=os.path.basename(app))
    subprocess.run(["zstd", "-q", "-f", "-19", tar, "-o", tar + ".zst"], check=True)
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


def make_installers(folder, setup, launcher_log, base_url):
    """Both versions packed, and their installers: (side, appended)."""
    side = pack(make_app(folder, SIDE_VERSION, setup, launcher_log, base_url))
    appended = pack(make_app(folder, APPENDED_VERSION, setup, launcher_log, base_url))
    return (side_installer(folder, SIDE_VERSION, side, setup),
            appended_installer(folder, APPENDED_VERSION, appended, setup))


def publish_update(folder, version, setup, launcher_log, base_url, served, from_version, make_patch):
    """Makes `version`, puts its full archive in the folder `served` as
    stable-win-x64-<version>.tar.zst and, unless from_version is None, the
    patch from that version as stable-win-x64-<its hash>.patch. Returns
    (artifact file name, tar path)."""
    archive = pack(make_app(folder, version, setup, launcher_log, base_url))
    prefix = "%s-win-x64-" % CHANNEL
    artifact = prefix + version + ".tar.zst"
    os.makedirs(served, exist_ok=True)
    shutil.copy(archive, os.path.join(served, artifact))
    tar = archive[:-len(".zst")]
    if from_version is not None:
        old = os.path.join(folder, "packaging", from_version, NAME.replace(" ", "") + ".tar")
        patch = os.path.join(served, prefix + build_hash(from_version) + ".patch")
        subprocess.run([make_patch, old, tar, patch], check=True, stdout=subprocess.DEVNULL)
    return artifact, tar


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
