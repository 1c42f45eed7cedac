"""End-to-end: build/setup as a self-extracting installer in a sandbox.

Each test packs a small application ("DemoApp") as tar + zstd, puts it beside
or behind a copy of build/setup, runs that copy without arguments and looks at
what it left: the installed tree, the recipe, the stand-ins' registry and
shortcuts, the progress window's log and the launcher's output.
"""
import fcntl
import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import tarfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox  # noqa: E402
from sandbox import Sandbox, to_win, wait_for  # noqa: E402

SETUP = os.path.join(sandbox.BUILD_DIR, "setup")
APP_ID = "com.example.demo"
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + APP_ID + ".stable"
METADATA_MARKER = b"TAMBERLOCK_METADATA_V1"
ARCHIVE_MARKER = b"TAMBERLOCK_ARCHIVE_V1"
INVALID_PACKAGE = "The installer package is invalid or could not be read. Download it again and retry."
NOT_INSTALLED = "The application could not be installed."


def zstd(data):
    return subprocess.run(["zstd", "-q", "-c", "-3"], input=data, stdout=subprocess.PIPE,
                          check=True).stdout


def tar_of(entries):
    """entries: (name, bytes) for files, (name, None) for folders, (name, ("link", target))
    for symbolic links; written as pax with fixed times so a test can compare bytes."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.PAX_FORMAT) as t:
        for name, data in entries:
            info = tarfile.TarInfo(name)
            info.mtime = 1700000000
            if data is None:
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                t.addfile(info)
            elif isinstance(data, tuple):
                info.type, info.linkname, info.mode = tarfile.SYMTYPE, data[1], 0o777
                t.addfile(info)
            else:
                info.size, info.mode = len(data), 0o755
                t.addfile(info, io.BytesIO(data))
    return out.getvalue()


def files_of(tree):
    """Every path below a host folder (links listed, not followed), sorted."""
    out = []
    for base, dirs, files in os.walk(tree):
        for n in dirs + files:
            out.append(os.path.relpath(os.path.join(base, n), tree))
    return sorted(out)


def rebuild_from_recipe(recipe, root):
    """The archive the recipe describes, from the unpacked tree at root."""
    out = bytearray()
    for span in recipe["spans"]:
        if span.get("literal_hex") is not None:
            out += bytes.fromhex(span["literal_hex"])
        else:
            with open(os.path.join(root, span["path"]), "rb") as f:
                data = f.read(span["size"])
            out += data
    return bytes(out)


def mutex_lock_path(channel_root_win):
    """The lock file that stands for the installation mutex of a channel root."""
    digest = hashlib.sha256(channel_root_win.lower().encode("utf-8")).hexdigest()[:32]
    return "/tmp/tamberlock-mutex-%d/TamberlockUninstall_%s" % (os.geteuid(), digest)


class InstallerTest(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.cleanup)
        self.channel = os.path.join(self.sb.local_app_data, APP_ID, "stable")
        self.launch_log = os.path.join(self.sb.root, "launcher.log")
        self.ui_log = os.path.join(self.sb.root, "ui.log")
        self.outside = os.path.join(self.sb.root, "outside")
        os.makedirs(os.path.join(self.outside, "keep"))
        with open(os.path.join(self.outside, "keep", "canary.txt"), "w") as f:
            f.write("canary")

    # -- fixtures
    def app_entries(self, version, root="DemoApp", extra=()):
        launcher = ("#!/bin/sh\necho \"DemoApp %s launcher started\" >> '%s'\n"
                    % (version, self.launch_log)).encode()
        with open(SETUP, "rb") as f:
            manager = f.read()
        version_json = json.dumps({"identifier": APP_ID, "name": "Demo App", "channel": "stable",
                                   "version": version, "hash": "build" + version}).encode()
        return [(root, None), (root + "/bin", None), (root + "/bin/launcher.exe", launcher),
                (root + "/Resources", None), (root + "/Resources/uninstall", manager),
                (root + "/Resources/version.json", version_json),
                (root + "/Resources/v%s.txt" % version, b"version " + version.encode())] + list(extra)

    def metadata(self, version="1", **over):
        m = {"identifier": APP_ID, "name": "Demo App", "channel": "stable", "hash": "build" + version}
        m.update(over)
        return json.dumps(m).encode()

    def side_installer(self, archive, metadata, folder="dl", in_installer_folder=True):
        """A copy of setup named DemoSetup.exe with its two side files."""
        d = os.path.join(self.sb.root, folder)
        side = os.path.join(d, ".installer") if in_installer_folder else d
        os.makedirs(side, exist_ok=True)
        exe = os.path.join(d, "DemoSetup.exe")
        shutil.copy(SETUP, exe)
        with open(os.path.join(side, "DemoSetup.metadata.json"), "wb") as f:
            f.write(metadata)
        if archive is not None:
            with open(os.path.join(side, "DemoSetup.tar.zst"), "wb") as f:
                f.write(archive)
        return exe

    def appended_installer(self, archive, metadata, name="AppendedSetup.exe"):
        exe = os.path.join(self.sb.root, name)
        with open(SETUP, "rb") as f:
            body = f.read()
        with open(exe, "wb") as f:
            f.write(body + METADATA_MARKER + metadata + ARCHIVE_MARKER + archive)
        os.chmod(exe, 0o755)
        return exe

    def start(self, exe, **extra_env):
        env = dict(self.sb.env, TAMBERLOCK_POSIX_UI_LOG=self.ui_log,
                   TAMBERLOCK_INSTALLER_UI_AUTOCLOSE="1", **extra_env)
        return subprocess.Popen([exe], env=env, cwd=self.sb.root, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def run_installer(self, exe):
        if os.path.exists(self.ui_log):
            os.unlink(self.ui_log)
        p = self.start(exe)
        out, err = p.communicate(timeout=120)
        return p.returncode, err.decode("utf-8", "replace")

    def ui_events(self):
        if not os.path.exists(self.ui_log):
            return []
        with open(self.ui_log, encoding="utf-8") as f:
            return [line.rstrip("\n") for line in f]

    def install(self, version, tar=None):
        tar = tar or tar_of(self.app_entries(version))
        code, err = self.run_installer(self.side_installer(zstd(tar), self.metadata(version),
                                                           folder="dl" + version))
        self.assertEqual(code, 0, err)
        return tar

    def launcher_lines(self, expected_count=0):
        """The launcher's lines, once there are expected_count of them (for at most ten seconds)."""
        if expected_count:
            wait_for(lambda: len(self.launcher_lines()) >= expected_count)
        if not os.path.exists(self.launch_log):
            return []
        with open(self.launch_log) as f:
            return f.read().splitlines()

    def launches_running(self):
        """Processes running a launcher of this sandbox. A launch starts its
        process before the installer ends, and the process runs until it has
        written its line."""
        return sandbox.running_with(self.sb.root.encode(), b"launcher.exe")

    def settled_launcher_lines(self):
        """The launcher's lines once no launch is still on its way."""
        wait_for(lambda: not self.launches_running())
        self.assertEqual(self.launches_running(), [])
        return self.launcher_lines()

    # -- what every successful installation leaves
    def assert_installed(self, version, tar, extra=()):
        app = os.path.join(self.channel, "app")
        self.assertEqual(files_of(app), sorted(["Resources", "Resources/uninstall", "Resources/v%s.txt" % version,
                                                "Resources/version.json", "bin", "bin/launcher.exe", *extra]))
        self.assertEqual(sorted(os.listdir(self.channel)),
                         [".tamberlock-uninstall.json", "app", "self-extraction", "uninstall.exe"])
        recipe_name = "build%s.recipe.json" % version
        self.assertEqual(os.listdir(os.path.join(self.channel, "self-extraction")), [recipe_name])
        with open(os.path.join(self.channel, "self-extraction", recipe_name)) as f:
            recipe = json.load(f)
        self.assertEqual(recipe["root"], "DemoApp")
        self.assertEqual(recipe["archive_sha256"], hashlib.sha256(tar).hexdigest())
        self.assertTrue(rebuild_from_recipe(recipe, app) == tar)
        # Integrated: uninstall entry, both shortcuts, the manager copy.
        values = self.sb.reg_values(UNINSTALL_KEY)
        self.assertIsNotNone(values)
        self.assertEqual(values["DisplayName"], ("REG_SZ", "Demo App"))
        for folder in (self.sb.desktop, self.sb.start_menu_programs):
            shortcut = self.sb.read_shortcut(os.path.join(folder, "Demo App.lnk"))
            self.assertEqual(shortcut["TargetPath"], to_win(os.path.join(app, "bin", "launcher.exe")))
        with open(os.path.join(self.channel, "uninstall.exe"), "rb") as a, open(SETUP, "rb") as b:
            self.assertTrue(a.read() == b.read())

    def assert_failed(self, code, err, name, page):
        self.assertEqual(code, 1, err)
        self.assertTrue(err.startswith("Self-extractor v1.3 starting...\n"), err)
        self.assertTrue(err.endswith("error: %s\n" % name), err)
        self.assertIn("content " + page, "\n".join(self.ui_events()))
        self.assertIn("instruction Installation failed", "\n".join(self.ui_events()))

    def assert_outside_untouched(self):
        self.assertEqual(files_of(self.outside), ["keep", "keep/canary.txt"])
        with open(os.path.join(self.outside, "keep", "canary.txt")) as f:
            self.assertEqual(f.read(), "canary")


class Installs(InstallerTest):
    def test_clean_install_from_side_files(self):
        tar = tar_of(self.app_entries("1"))
        code, err = self.run_installer(self.side_installer(zstd(tar), self.metadata("1")))
        self.assertEqual(code, 0, err)
        self.assertTrue(err.startswith("Self-extractor v1.3 starting...\n"), err)
        self.assertIn("Found adjacent archive file: " +
                      to_win(os.path.join(self.sb.root, "dl", ".installer", "DemoSetup.tar.zst")), err)
        self.assertIn("App will be installed to: " + to_win(os.path.join(self.channel, "app")) + "\n", err)
        self.assertTrue(err.endswith("Installation completed successfully!\nInstallation completed successfully.\n"),
                        err)
        self.assert_installed("1", tar)
        events = self.ui_events()
        self.assertIn("dialog 1 content Extracting application files...", events)
        self.assertIn("dialog 1 content The application was installed successfully.", events)
        self.assertEqual(self.launcher_lines(1), ["DemoApp 1 launcher started"])

    def test_clean_install_from_the_appended_block(self):
        tar = tar_of(self.app_entries("1"))
        metadata = self.metadata("1")
        code, err = self.run_installer(self.appended_installer(zstd(tar), metadata))
        self.assertEqual(code, 0, err)
        marker_offset = os.path.getsize(SETUP) + len(METADATA_MARKER) + len(metadata)
        self.assertIn("Self-extracting archive found at offset %d\n" % marker_offset, err)
        self.assert_installed("1", tar)
        self.assertEqual(self.launcher_lines(1), ["DemoApp 1 launcher started"])

    def test_archive_carrying_an_installer_of_its_own(self):
        # An incompressible inner installer: zstd stores it verbatim, its
        # marker pair included, behind the outer pair.
        inner_pair = METADATA_MARKER + self.metadata("9", identifier="com.example.inner") + ARCHIVE_MARKER
        inner = os.urandom(256 * 1024) + inner_pair + os.urandom(256 * 1024)
        tar = tar_of(self.app_entries("1", extra=[("DemoApp/Resources/inner-setup.exe", inner)]))
        archive = zstd(tar)
        self.assertIn(inner_pair, archive)
        metadata = self.metadata("1")
        code, err = self.run_installer(self.appended_installer(archive, metadata))
        self.assertEqual(code, 0, err)
        marker_offset = os.path.getsize(SETUP) + len(METADATA_MARKER) + len(metadata)
        self.assertIn("Self-extracting archive found at offset %d\n" % marker_offset, err)
        self.assert_installed("1", tar, extra=["Resources/inner-setup.exe"])
        self.assertFalse(os.path.lexists(os.path.join(self.sb.local_app_data, "com.example.inner")))
        self.assertEqual(self.launcher_lines(1), ["DemoApp 1 launcher started"])

    def test_side_files_split_between_installer_folder_and_exe_folder(self):
        tar = tar_of(self.app_entries("1"))
        exe = self.side_installer(None, self.metadata("1"))
        with open(os.path.join(os.path.dirname(exe), "DemoSetup.tar.zst"), "wb") as f:
            f.write(zstd(tar))
        code, err = self.run_installer(exe)
        self.assertEqual(code, 0, err)
        self.assert_installed("1", tar)

    def test_reinstall_over_an_earlier_version(self):
        self.install("1")
        os.symlink(self.outside, os.path.join(self.channel, "app", "data"))
        with open(os.path.join(self.channel, "self-extraction", "build0.tar"), "wb") as f:
            f.write(b"cached archive of an earlier update")
        tar = self.install("2")
        self.assert_installed("2", tar)
        self.assert_outside_untouched()
        self.assertEqual(self.launcher_lines(2), ["DemoApp 1 launcher started", "DemoApp 2 launcher started"])

    def test_repairs_leftovers_of_an_interrupted_installation(self):
        self.install("1")
        # Cut off between the renames: app aside, partial and previous
        # self-extraction folders left, no self-extraction.
        os.rename(os.path.join(self.channel, "app"), os.path.join(self.channel, "app.previous"))
        os.rename(os.path.join(self.channel, "self-extraction"),
                  os.path.join(self.channel, "self-extraction.previous"))
        os.makedirs(os.path.join(self.channel, "self-extraction.partial", "DemoApp", "bin"))
        tar = self.install("2")
        self.assert_installed("2", tar)

    def test_what_killed_writes_left_goes_and_the_users_files_stay(self):
        """Runs killed while they copied uninstall.exe and wrote the manifest
        leave these temporaries; a failed installation, an integration and
        the uninstall that keeps the data each take them, and nothing else."""
        self.install("1")
        killed = ["uninstall.exe.tmp-4242-1", ".tamberlock-uninstall.json.tmp-" + os.urandom(8).hex()]
        users = ["0123456789abcdef", "notes.tmp-1-2", "uninstall.exe.tmp-5-6", "uninstall.exe.tmp-7-8"]
        cut = self.side_installer(zstd(tar_of(self.app_entries("2")))[:-7], self.metadata("2"), folder="cut")
        integrate = [os.path.join(self.channel, "app", "Resources", "uninstall"), "--bootstrap-install",
                     to_win(self.channel), "--quiet"]
        uninstall = [os.path.join(self.channel, "uninstall.exe"), "--uninstall", "--quiet"]
        for run in ("failed installation", "integration", "uninstall"):
            with self.subTest(run):
                for name in killed + users[:2]:
                    with open(os.path.join(self.channel, name), "wb") as f:
                        f.write(b"half written")
                os.makedirs(os.path.join(self.channel, users[2]), exist_ok=True)  # other kinds stay
                if not os.path.lexists(os.path.join(self.channel, users[3])):
                    os.symlink(os.path.join(self.outside, "keep"), os.path.join(self.channel, users[3]))
                if run == "failed installation":
                    self.assertEqual(self.run_installer(cut)[0], 1)
                else:
                    p = subprocess.run(integrate if run == "integration" else uninstall, env=self.sb.env,
                                       capture_output=True, timeout=60)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    self.assertTrue(wait_for(lambda: not os.listdir(self.sb.temp)))
                names = os.listdir(self.channel)
                self.assertEqual(sorted(n for n in names if n in killed + users), sorted(users))
        self.assert_outside_untouched()

    def test_folder_named_like_app_in_other_letter_case(self):
        self.install("1")
        os.rename(os.path.join(self.channel, "app"), os.path.join(self.channel, "App"))
        tar = self.install("2")
        self.assert_installed("2", tar)

    def test_second_installer_fails_at_once_while_the_first_runs(self):
        # Enough files that the first installer is still unpacking when the
        # second one starts.
        extra = [("DemoApp/many", None)] + [("DemoApp/many/f%05d" % i, b"x" * 2048) for i in range(6000)]
        entries = self.app_entries("1", extra=extra)
        tar = tar_of(entries)
        second_exe = self.side_installer(zstd(tar_of(self.app_entries("2"))), self.metadata("2"), folder="second")
        first = self.start(self.side_installer(zstd(tar), self.metadata("1"), folder="first"))
        # A failed check must not leave the first installer writing into the removed sandbox.
        self.addCleanup(first.communicate, timeout=120)
        partial = os.path.join(self.channel, "self-extraction.partial")
        deadline = time.time() + 60
        while not os.path.exists(partial) and time.time() < deadline and first.poll() is None:
            time.sleep(0.005)
        self.assertTrue(os.path.exists(partial), "the first installer never started unpacking")
        second_log = os.path.join(self.sb.root, "second-ui.log")
        second = subprocess.run([second_exe],
                                env=dict(self.sb.env, TAMBERLOCK_POSIX_UI_LOG=second_log,
                                         TAMBERLOCK_INSTALLER_UI_AUTOCLOSE="1"),
                                capture_output=True, timeout=60)
        self.assertTrue(os.path.exists(partial), "the first installer finished before the second started")
        err = second.stderr.decode()
        self.assertEqual(second.returncode, 1, err)
        self.assertTrue(err.endswith("error: InstallationAlreadyInProgress\n"), err)
        with open(second_log) as f:
            self.assertIn("content Another installation is already in progress. Close it before trying again.",
                          f.read())
        _, first_err = first.communicate(timeout=120)
        self.assertEqual(first.returncode, 0, first_err.decode())
        app = os.path.join(self.channel, "app")
        self.assertEqual(len(os.listdir(os.path.join(app, "many"))), 6000)
        with open(os.path.join(self.channel, "self-extraction", "build1.recipe.json")) as f:
            self.assertTrue(rebuild_from_recipe(json.load(f), app) == tar)

    def test_writes_nothing_outside_the_channel_root_but_the_integration(self):
        def snapshot():
            out = {}
            for base, dirs, files in os.walk(self.sb.root):
                for n in files:
                    p = os.path.join(base, n)
                    st = os.lstat(p)
                    out[p] = (st.st_size, st.st_mtime_ns)
            return out
        exe = self.side_installer(zstd(tar_of(self.app_entries("1"))), self.metadata("1"))
        before = snapshot()
        self.install("1")
        self.launcher_lines(1)
        after = snapshot()
        changed = sorted(os.path.relpath(p, self.sb.root) for p in set(before) | set(after)
                         if before.get(p) != after.get(p) and not p.startswith(self.channel + "/"))
        allowed_prefixes = ("Windows/state/", "dl1/")
        allowed = {"ui.log", "launcher.log", os.path.relpath(os.path.join(self.sb.desktop, "Demo App.lnk"),
                                                             self.sb.root),
                   os.path.relpath(os.path.join(self.sb.start_menu_programs, "Demo App.lnk"), self.sb.root)}
        unexpected = [p for p in changed if p not in allowed and not p.startswith(allowed_prefixes)]
        self.assertEqual(unexpected, [])
        self.assertTrue(os.path.exists(exe))


class Failures(InstallerTest):
    def setUp(self):
        super().setUp()
        self.tar1 = self.install("1")
        os.symlink(self.outside, os.path.join(self.channel, "app", "data"))
        self.launcher_lines(1)

    def assert_version_1_kept(self):
        app = os.path.join(self.channel, "app")
        self.assertTrue(os.path.exists(os.path.join(app, "Resources", "v1.txt")))
        self.assertTrue(os.path.islink(os.path.join(app, "data")))
        for gone in ("app.previous", "self-extraction.partial", "self-extraction.previous"):
            self.assertFalse(os.path.lexists(os.path.join(self.channel, gone)), gone)
        self.assertEqual(os.listdir(os.path.join(self.channel, "self-extraction")), ["build1.recipe.json"])
        self.assert_outside_untouched()
        # Nothing was launched by the failed run.
        self.assertEqual(self.settled_launcher_lines(), ["DemoApp 1 launcher started"])

    def test_failures_before_the_swap_keep_the_installed_version(self):
        tar2 = tar_of(self.app_entries("2"))
        good = zstd(tar2)
        hostile = tar_of([("DemoApp", None), ("DemoApp/escape", ("link", "../../../../outside")),
                          ("DemoApp/escape/keep/canary.txt", b"overwritten")])
        escaping = tar_of([("DemoApp", None), ("DemoApp/../../../../outside/keep/canary.txt", b"overwritten")])
        wrong_root = tar_of(self.app_entries("2", root="OtherApp"))
        cases = [
            ("side metadata that is not JSON", self.side_installer(good, b"{not json", folder="c1"),
             "SyntaxError", INVALID_PACKAGE),
            ("side metadata without a name", self.side_installer(good, b'{"identifier":"x","channel":"dev"}',
                                                                 folder="c2"),
             "MissingField", INVALID_PACKAGE),
            ("unknown channel", self.side_installer(good, self.metadata("2", channel="beta"), folder="c3"),
             "InvalidInstallIdentity", INVALID_PACKAGE),
            ("missing archive", self.side_installer(None, self.metadata("2"), folder="c4"),
             "MissingInstallerArchive", NOT_INSTALLED),
            ("truncated archive", self.side_installer(good[:-7], self.metadata("2"), folder="c5"),
             "UnexpectedEndOfStream", NOT_INSTALLED),
            ("archive not compressed", self.side_installer(tar2, self.metadata("2"), folder="c6"),
             "DecompressionFailed", NOT_INSTALLED),
            ("link out of the archive", self.appended_installer(zstd(hostile), self.metadata("2")),
             "InvalidLinkTarget", NOT_INSTALLED),
            ("path out of the archive", self.side_installer(zstd(escaping), self.metadata("2"), folder="c7"),
             "InvalidArchivePath", NOT_INSTALLED),
            ("wrong archive root", self.side_installer(zstd(wrong_root), self.metadata("2"), folder="c8"),
             "FileNotFound", NOT_INSTALLED),
            ("hash that cannot name a file", self.side_installer(good, self.metadata("2", hash="../x"), folder="c9"),
             "InvalidArchiveHash", NOT_INSTALLED),
        ]
        for name, exe, error, page in cases:
            with self.subTest(name):
                code, err = self.run_installer(exe)
                self.assert_failed(code, err, error, page)
                self.assert_version_1_kept()
                if name == "wrong archive root":
                    self.assertIn("  - OtherApp (directory)\n", err)

    def test_packages_that_cannot_be_integrated_keep_the_installed_version(self):
        # Never integrated: a small manager keeps the archives small.
        entries = [(n, b"manager" if n.endswith("/uninstall") else d) for n, d in self.app_entries("2")]

        def without(name):
            return [e for e in entries if e[0] != name]
        resources_elsewhere = [(n.replace("DemoApp/Resources", "DemoApp/res"), d) for n, d in entries]
        cases = [
            ("empty application folder", [("DemoApp", None)], "FileNotFound"),
            ("no launcher", without("DemoApp/bin/launcher.exe"), "FileNotFound"),
            ("no manager", without("DemoApp/Resources/uninstall"), "InvalidUninstallManager"),
            ("foreign manager", without("DemoApp/Resources/uninstall") +
             [("DemoApp/Resources/uninstall", ("link", "../bin/launcher.exe"))], "InvalidUninstallManager"),
            ("Resources a link", resources_elsewhere + [("DemoApp/Resources", ("link", "res"))],
             "InvalidUninstallLocation"),
        ]
        for i, (name, tree, error) in enumerate(cases):
            with self.subTest(name):
                exe = self.side_installer(zstd(tar_of(tree)), self.metadata("2"), folder="b%d" % i)
                code, err = self.run_installer(exe)
                self.assert_failed(code, err, error, NOT_INSTALLED)
                self.assert_version_1_kept()
                self.assert_installed("1", self.tar1, extra=["data"])
        # Still launchable through its shortcut.
        shortcut = self.sb.read_shortcut(os.path.join(self.sb.desktop, "Demo App.lnk"))
        subprocess.run([sandbox.to_host(shortcut["TargetPath"])], check=True, timeout=60)
        self.assertEqual(self.launcher_lines(2), ["DemoApp 1 launcher started"] * 2)

    def test_occupied_mutex(self):
        path = mutex_lock_path(to_win(self.channel))
        os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            code, err = self.run_installer(self.side_installer(zstd(tar_of(self.app_entries("2"))),
                                                               self.metadata("2")))
        finally:
            # Released as the program releases it: the name goes while the file is locked.
            os.unlink(path)
            os.close(fd)
            try:
                os.rmdir(os.path.dirname(path))
            except OSError:
                pass  # other lock files in use
        self.assert_failed(code, err, "InstallationAlreadyInProgress",
                           "Another installation is already in progress. Close it before trying again.")
        self.assert_version_1_kept()

    def test_integration_failure_leaves_the_new_version_unintegrated(self):
        self.sb.add_fault("reg.exe", "add", "*", exit_code=1)
        tar2 = tar_of(self.app_entries("2"))
        code, err = self.run_installer(self.side_installer(zstd(tar2), self.metadata("2")))
        self.assert_failed(code, err, "WindowsCommandFailed", NOT_INSTALLED)
        app = os.path.join(self.channel, "app")
        self.assertTrue(os.path.exists(os.path.join(app, "Resources", "v2.txt")))
        self.assertFalse(os.path.lexists(os.path.join(self.channel, "app.previous")))
        self.assertEqual(os.listdir(os.path.join(self.channel, "self-extraction")), ["build2.recipe.json"])
        self.assert_outside_untouched()
        self.assertEqual(self.settled_launcher_lines(), ["DemoApp 1 launcher started"])

    def test_no_payload_at_all(self):
        exe = os.path.join(self.sb.root, "Setup.exe")
        shutil.copy(SETUP, exe)
        code, err = self.run_installer(exe)
        self.assertEqual(code, 1)
        self.assertIn("ERROR: Not a valid self-extracting installer\n", err)
        self.assertTrue(err.endswith("error: InvalidInstaller\n"), err)
        self.assert_version_1_kept()


if __name__ == "__main__":
    unittest.main()
