"""End-to-end: integrating an unpacked application with --bootstrap-install,
uninstalling it (quiet and through the choice dialog), the clean-up copy that
finishes the uninstall, and the registration refresh, in a sandbox with the
stand-in tools.

An installation is made by hand here: the application is unpacked into
<LOCALAPPDATA>\\<identifier>\\<channel>\\app and integrated by its own bundled
manager, app\\Resources\\uninstall (a copy of build/setup).
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import BUILD_DIR, Sandbox, to_win, wait_for  # noqa: E402

SETUP = os.path.join(BUILD_DIR, "setup")
IDENT = "com.example.app"
NAME = "Example"
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
MANIFEST = ".tamberlock-uninstall.json"


def task_name(identifier, channel):
    digest = hashlib.sha256(identifier.encode() + b"\0" + channel.encode()).digest()
    return "TamberlockUpdate_" + digest[:12].hex()


def chattr(*args):
    """Runs chattr; False when the tool or the file system cannot."""
    try:
        return subprocess.run(["chattr"] + list(args), capture_output=True).returncode == 0
    except OSError:
        return False


class UninstallBase(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        self.processes = []
        self.immutable = []  # files made undeletable, given back at the end

    def tearDown(self):
        for p in self.processes:
            if p.poll() is None:
                p.kill()
                p.wait()
        if self.immutable:
            chattr("-i", *self.immutable)
        self.sb.cleanup()

    # -- an installation made by hand
    def channel_root(self, channel="stable", identifier=IDENT):
        return os.path.join(self.sb.local_app_data, identifier, channel)

    def unpack(self, channel="stable", identifier=IDENT, version_json=None, launcher=True):
        root = self.channel_root(channel, identifier)
        app = os.path.join(root, "app")
        os.makedirs(os.path.join(app, "Resources"))
        os.makedirs(os.path.join(app, "bin"))
        if version_json is None:
            version_json = json.dumps({"name": NAME, "identifier": identifier, "version": "1.2.3",
                                       "channel": channel})
        if version_json is not False:
            with open(os.path.join(app, "Resources", "version.json"), "w") as f:
                f.write(version_json)
        shutil.copy(SETUP, os.path.join(app, "Resources", "uninstall"))
        if launcher:
            with open(os.path.join(app, "bin", "launcher.exe"), "w") as f:
                f.write("launcher")
        return root

    def bootstrap(self, root, requested=None, env=None):
        exe = os.path.join(root, "app", "Resources", "uninstall")
        return self.run_exe(exe, "--bootstrap-install", requested or to_win(root), "--quiet", env=env)

    def install(self, channel="stable", identifier=IDENT):
        """Unpacked and integrated, with the folders and files an installer
        and the user leave beside the application."""
        root = self.unpack(channel, identifier)
        code, err = self.bootstrap(root)
        self.assertEqual(code, 0, err)
        os.makedirs(os.path.join(root, "self-extraction"))
        self.write(os.path.join(root, "self-extraction", "abc.recipe.json"), "{}")
        self.write(os.path.join(root, "update.bat"), "@echo off\n")
        self.write(os.path.join(root, "settings.json"), "user data")
        return root

    def run_exe(self, exe, *args, env=None, argv0=None):
        p = subprocess.run([argv0 or exe] + list(args), executable=exe, capture_output=True,
                           env=dict(self.sb.env, **(env or {})), timeout=60)
        return p.returncode, p.stderr.decode("utf-8", "replace")

    def uninstall(self, root, *args, env=None):
        return self.run_exe(os.path.join(root, "uninstall.exe"), *args, env=env)

    @staticmethod
    def write(path, text):
        with open(path, "w") as f:
            f.write(text)

    # -- what is there
    def shortcuts(self, display=NAME):
        return [os.path.join(self.sb.desktop, display + ".lnk"),
                os.path.join(self.sb.start_menu_programs, display + ".lnk")]

    def registered(self, channel="stable", identifier=IDENT):
        values = self.sb.reg_values(UNINSTALL_KEY + identifier + "." + channel)
        return values is not None and "QuietUninstallString" in values

    def nonce(self, root):
        with open(os.path.join(root, MANIFEST)) as f:
            return json.load(f)["install_nonce"]

    def temp_leftovers(self):
        return sorted(os.listdir(self.sb.temp))

    def wait_for_cleanup(self):
        """The clean-up copy's last act is deleting itself and its script."""
        self.assertTrue(wait_for(lambda: not self.temp_leftovers()), self.temp_leftovers())

    def start_app_process(self, root, name="worker"):
        """A real program run from inside app: a copy of sleep whose command
        line names nothing of the application."""
        exe = os.path.join(root, "app", "bin", name)
        shutil.copy("/bin/sleep", exe)
        p = subprocess.Popen(["sleepy", "300"], executable=exe)
        self.processes.append(p)
        return p

    def assert_untouched(self, root, channel="stable"):
        """The installation as install() left it."""
        for rel in ("app/bin/launcher.exe", "self-extraction/abc.recipe.json", "update.bat", "uninstall.exe",
                    MANIFEST, "settings.json"):
            self.assertTrue(os.path.exists(os.path.join(root, rel)), rel)
        for link in self.shortcuts(NAME if channel == "stable" else NAME + " (Canary)"):
            self.assertIsNotNone(self.sb.read_shortcut(link), link)
        self.assertTrue(self.registered(channel))

    def assert_app_removed(self, root):
        for rel in ("app", "self-extraction", "update.bat"):
            self.assertFalse(os.path.lexists(os.path.join(root, rel)), rel)
        for link in self.shortcuts():
            self.assertFalse(os.path.lexists(link), link)

    def assert_registration_removed(self, root):
        self.assertFalse(self.registered())
        self.assertFalse(os.path.lexists(os.path.join(root, "uninstall.exe")))
        self.assertFalse(os.path.lexists(os.path.join(root, MANIFEST)))


class QuietUninstall(UninstallBase):
    def test_removes_the_application_then_the_copy_removes_the_registration(self):
        root = self.install()
        task = task_name(IDENT, "stable")
        self.sb.create_task(task)
        worker = self.start_app_process(root)
        # Outside the application, though its command line names a file inside.
        bystander = subprocess.Popen([os.path.join(root, "app", "bin", "launcher.exe"), "300"],
                                     executable="/bin/sleep")
        self.processes.append(bystander)
        self.sb.clear_calls()

        code, err = self.uninstall(root, "--uninstall", "--quiet")
        self.assertEqual((code, err), (0, ""))
        self.assert_app_removed(root)
        self.assertFalse(self.sb.task_exists(task))
        self.assertEqual(worker.wait(timeout=5), -9)
        self.assertIsNone(bystander.poll())

        self.wait_for_cleanup()
        self.assert_registration_removed(root)
        with open(os.path.join(root, "settings.json")) as f:
            self.assertEqual(f.read(), "user data")
        self.assertEqual(sorted(os.listdir(root)), ["settings.json"])
        # The copy was handed the manager, the manifest and the nonce.
        deletes = [c for c in self.sb.calls("reg.exe") if c[1] == "delete"]
        self.assertEqual(deletes, [["reg.exe", "delete", UNINSTALL_KEY + IDENT + ".stable", "/f", "/reg:64"]])

    def test_without_a_task_neither_end_nor_delete_runs(self):
        root = self.install()
        self.sb.clear_calls()
        self.assertEqual(self.uninstall(root, "--quiet"), (0, ""))
        self.wait_for_cleanup()
        self.assertEqual([c[1] for c in self.sb.calls("schtasks.exe")], ["/query"])
        self.assert_registration_removed(root)

    def test_delete_data_takes_the_channel_folder_and_an_empty_identifier_folder(self):
        stable = self.install("stable")
        canary = self.install("canary")
        canary_nonce = self.nonce(canary)

        self.assertEqual(self.uninstall(stable, "--uninstall", "--quiet", "--delete-data"), (0, ""))
        self.wait_for_cleanup()
        self.assertFalse(os.path.lexists(stable))
        self.assertFalse(self.registered("stable"))
        # The other channel of the same identifier keeps everything.
        self.assert_untouched(canary, "canary")
        self.assertEqual(self.nonce(canary), canary_nonce)

        self.assertEqual(self.uninstall(canary, "--quiet", "--delete-data"), (0, ""))
        self.wait_for_cleanup()
        self.assertFalse(os.path.lexists(os.path.join(self.sb.local_app_data, IDENT)))
        self.assertFalse(self.registered("canary"))

    def test_deleting_never_follows_a_link(self):
        root = self.install()
        outside = os.path.join(self.sb.root, "canary-folder")
        os.makedirs(os.path.join(outside, "deep"))
        self.write(os.path.join(outside, "deep", "precious.txt"), "keep me")
        os.symlink(outside, os.path.join(root, "linked-data"))
        os.symlink(outside, os.path.join(root, "app", "bin", "linked-bin"))
        os.symlink(os.path.join(outside, "deep", "precious.txt"), os.path.join(root, "self-extraction", "f"))

        self.assertEqual(self.uninstall(root, "--quiet", "--delete-data"), (0, ""))
        self.wait_for_cleanup()
        self.assertFalse(os.path.lexists(root))
        with open(os.path.join(outside, "deep", "precious.txt")) as f:
            self.assertEqual(f.read(), "keep me")
        self.assertEqual(os.listdir(outside), ["deep"])


    def test_a_file_the_user_put_at_a_shortcut_path_stays_and_the_uninstall_completes(self):
        root = self.install()
        desktop = self.shortcuts()[0]
        self.write(desktop, "the user's own notes")
        self.assertEqual(self.uninstall(root, "--quiet"), (0, ""))
        self.wait_for_cleanup()
        self.assert_registration_removed(root)
        with open(desktop) as f:
            self.assertEqual(f.read(), "the user's own notes")
        self.assertFalse(os.path.lexists(self.shortcuts()[1]))


    def test_keeping_the_data_takes_what_updates_left_and_keeps_the_users_file(self):
        root = self.install()
        prepared, killed_prepare, killed_apply = ("%032x" % n for n in (1, 2, 3))
        # A prepared but unapplied update: its folder, recipe, record, request
        # and the lock file every preparation leaves.
        self.write_tree(os.path.join(root, "app.prepared-2b"))
        self.write(os.path.join(root, "self-extraction", "2b.recipe.json"), "{}")
        self.write(os.path.join(root, "self-extraction", ".tamberlock-prepared-update.json"), "{}")
        self.write(os.path.join(root, ".tamberlock-prepare-%s.json" % prepared), "{}")
        self.write(os.path.join(root, ".tamberlock-prepare.lock"), "")
        # A preparation killed while it built its stage.
        self.write_tree(os.path.join(root, "app.prepare-" + killed_prepare))
        self.write(os.path.join(root, ".tamberlock-prepare-%s.json" % killed_prepare), "{}")
        # An application killed during its swap: stage, the version set
        # aside, plan, result and lock.
        self.write_tree(os.path.join(root, "app.update-" + killed_apply))
        self.write_tree(os.path.join(root, "app.previous"))
        self.write(os.path.join(root, ".tamberlock-update-%s.json" % killed_apply), "{}")
        self.write(os.path.join(root, ".tamberlock-update-%s.result.json" % killed_apply), "{}")
        self.write(os.path.join(root, ".tamberlock-apply.lock"), "")

        self.assertEqual(self.uninstall(root, "--uninstall", "--quiet"), (0, ""))
        self.wait_for_cleanup()
        self.assert_registration_removed(root)
        self.assertEqual(sorted(os.listdir(root)), ["settings.json"])

    def write_tree(self, folder):
        os.makedirs(os.path.join(folder, "bin"))
        self.write(os.path.join(folder, "bin", "launcher.exe"), "launcher")


class InteractiveUninstall(UninstallBase):
    def run_dialog(self, root, script, args=("--uninstall",)):
        log = os.path.join(self.sb.root, "ui.log")
        if os.path.exists(log):
            os.unlink(log)
        code, err = self.uninstall(root, *args, env={"TAMBERLOCK_POSIX_UI_SCRIPT": script,
                                                      "TAMBERLOCK_POSIX_UI_LOG": log})
        with open(log) as f:
            return code, err, f.read()

    def test_the_dialog_names_the_application_and_offers_three_buttons(self):
        root = self.install()
        code, err, log = self.run_dialog(root, "choose 2", args=())  # uninstall.exe without arguments
        self.assertEqual((code, err), (0, ""))
        for line in ("dialog 1 title Example", "dialog 1 instruction Uninstall Example?",
                     "dialog 1 content The application will be removed.",
                     "dialog 1 button 100 enabled App", "dialog 1 button 101 enabled App and Data",
                     "dialog 1 button 2 enabled Cancel", "dialog 1 default 100"):
            self.assertIn(line + "\n", log)

    def test_cancel_and_close_change_nothing(self):
        root = self.install()
        self.sb.create_task(task_name(IDENT, "stable"))
        worker = self.start_app_process(root)
        self.sb.clear_calls()
        for script in ("choose 2", "close"):
            code, err, log = self.run_dialog(root, script)
            self.assertEqual((code, err), (0, ""), script)
            self.assertIn("destroyed 2", log)
        self.assert_untouched(root)
        self.assertTrue(self.sb.task_exists(task_name(IDENT, "stable")))
        self.assertIsNone(worker.poll())
        self.assertEqual(self.temp_leftovers(), [])
        self.assertFalse([c for c in self.sb.calls() if "/end" in c or "delete" in c])

    def test_app_keeps_the_data_app_and_data_takes_it(self):
        root = self.install()
        code, err, _ = self.run_dialog(root, "choose 100")
        self.assertEqual((code, err), (0, ""))
        self.wait_for_cleanup()
        self.assert_app_removed(root)
        self.assert_registration_removed(root)
        self.assertEqual(os.listdir(root), ["settings.json"])
        shutil.rmtree(os.path.join(self.sb.local_app_data, IDENT))

        root = self.install()
        code, err, _ = self.run_dialog(root, "choose 101")
        self.assertEqual((code, err), (0, ""))
        self.wait_for_cleanup()
        self.assertFalse(os.path.lexists(os.path.join(self.sb.local_app_data, IDENT)))
        self.assertFalse(self.registered())


class Refusals(UninstallBase):
    def test_an_uninstaller_in_the_wrong_place(self):
        root = self.install()
        shutil.copy(SETUP, os.path.join(root, "setup.exe"))
        os.makedirs(os.path.join(root, "sub"))
        shutil.copy(SETUP, os.path.join(root, "sub", "uninstall.exe"))
        for exe in (os.path.join(root, "app", "Resources", "uninstall"), os.path.join(root, "setup.exe")):
            self.assertEqual(self.run_exe(exe, "--uninstall", "--quiet"),
                             (1, "error: InvalidUninstallLocation\n"), exe)
        code, err = self.run_exe(os.path.join(root, "sub", "uninstall.exe"), "--uninstall", "--quiet")
        self.assertEqual((code, err), (1, "error: FileNotFound\n"))
        self.assert_untouched(root)
        self.assertEqual(self.temp_leftovers(), [])

    def test_a_manifest_that_does_not_match(self):
        root = self.install()
        path = os.path.join(root, MANIFEST)
        with open(path) as f:
            original = f.read()
        other_desktop = to_win(os.path.join(self.sb.root, "Desktop", NAME + ".lnk"))
        edits = [
            ("identifier", "com.other.app", "InvalidUninstallLocation"),
            ("desktop_shortcut", other_desktop, "InvalidUninstallManifest"),
            ("channel", "dev", "InvalidUninstallManifest"),
            ("install_nonce", "0" * 31, "InvalidUninstallManifest"),
        ]
        for key, value, error in edits:
            record = json.loads(original)
            record[key] = value
            self.write(path, json.dumps(record, indent=2))
            self.assertEqual(self.uninstall(root, "--quiet"), (1, "error: %s\n" % error), key)
        self.write(path, original)
        self.assert_untouched(root)
        self.assertEqual(self.temp_leftovers(), [])

    def test_a_folder_where_a_shortcut_should_be(self):
        root = self.install()
        task = task_name(IDENT, "stable")
        self.sb.create_task(task)
        worker = self.start_app_process(root)
        start_menu_link = self.shortcuts()[1]
        os.unlink(start_menu_link)
        os.makedirs(start_menu_link)
        self.assertEqual(self.uninstall(root, "--uninstall", "--quiet"), (1, "error: WindowsCommandFailed\n"))
        self.assertTrue(self.sb.task_exists(task))
        self.assertIsNone(worker.poll())
        self.assertTrue(os.path.isdir(start_menu_link))
        self.assertIsNotNone(self.sb.read_shortcut(self.shortcuts()[0]))
        self.assertTrue(os.path.exists(os.path.join(root, "app", "bin", "launcher.exe")))
        self.assertTrue(self.registered())
        self.assertEqual(self.temp_leftovers(), [])

    def test_a_copy_with_a_wrong_name_place_or_nonce(self):
        root = self.install()
        nonce = self.nonce(root)
        manager, manifest = to_win(os.path.join(root, "uninstall.exe")), to_win(os.path.join(root, MANIFEST))
        os.makedirs(os.path.join(self.sb.temp, "sub"))
        cases = [
            ("tamberlock-uninstall-1A.exe", nonce, "InvalidUninstallLocation"),
            ("tamberlock-uninstall-0123456789abcdef0.exe", nonce, "InvalidUninstallLocation"),
            ("tamberlock-uninstall-.exe", nonce, "InvalidUninstallLocation"),
            ("sub/tamberlock-uninstall-1.exe", nonce, "InvalidUninstallLocation"),
            ("tamberlock-uninstall-2.exe", nonce[:31], "InvalidArguments"),
            ("tamberlock-uninstall-3.exe", nonce[:31] + "g", "InvalidArguments"),
        ]
        for name, given, error in cases:
            copy = os.path.join(self.sb.temp, name)
            shutil.copy(SETUP, copy)
            code, err = self.run_exe(copy, "--cleanup-uninstaller", manager, manifest, given, "--delete-data")
            self.assertEqual((code, err), (1, "error: %s\n" % error), name)
        # A copy outside the temporary folder altogether.
        outside = os.path.join(self.sb.root, "tamberlock-uninstall-4.exe")
        shutil.copy(SETUP, outside)
        self.assertEqual(self.run_exe(outside, "--cleanup-uninstaller", manager, manifest, nonce),
                         (1, "error: InvalidUninstallLocation\n"))
        # A refused copy leaves itself in place and removes nothing; it wrote
        # no clean-up script either, which would delete it once it ends.
        self.assertFalse([n for n in self.temp_leftovers() if n.startswith("tamberlock-cleanup-")])
        for name, _, _ in cases:
            self.assertTrue(os.path.exists(os.path.join(self.sb.temp, name)), name)
        self.assertTrue(os.path.exists(outside))
        self.assert_untouched(root)


class FailedRemoval(UninstallBase):
    def test_a_failing_step_keeps_the_registration_and_a_rerun_completes(self):
        root = self.install()
        task = task_name(IDENT, "stable")
        self.sb.create_task(task)
        self.sb.add_fault("schtasks.exe", "/delete", "*", times=1)
        self.assertEqual(self.uninstall(root, "--uninstall", "--quiet"), (1, "error: WindowsCommandFailed\n"))
        # Everything else was tried; the registration stays, the copy went.
        self.assert_app_removed(root)
        self.assertTrue(self.registered())
        self.assertTrue(os.path.exists(os.path.join(root, "uninstall.exe")))
        self.assertTrue(os.path.exists(os.path.join(root, MANIFEST)))
        self.assertEqual(self.temp_leftovers(), [])
        self.assertTrue(self.sb.task_exists(task))

        self.assertEqual(self.uninstall(root, "--uninstall", "--quiet"), (0, ""))
        self.wait_for_cleanup()
        self.assertFalse(self.sb.task_exists(task))
        self.assert_registration_removed(root)

    def test_processes_that_cannot_be_stopped_only_warn(self):
        root = self.install()
        self.sb.add_fault("powershell.exe", "*", "*Stop-Process*", exit_code=5)
        self.assertEqual(self.uninstall(root, "--quiet"),
                         (0, "Warning: Could not stop running app processes: error.WindowsCommandFailed\n"))
        self.wait_for_cleanup()
        self.assert_app_removed(root)
        self.assert_registration_removed(root)

    def test_a_process_that_ends_during_the_stop_is_no_failure(self):
        root = self.install()
        worker = self.start_app_process(root)
        self.sb.add_fault("Stop-Process", "*\\app\\bin\\worker", exited=True)
        self.assertEqual(self.uninstall(root, "--quiet"), (0, ""))
        self.assertEqual(worker.wait(timeout=5), -9)
        self.assertEqual(len(self.sb.calls("Stop-Process")), 1)
        self.wait_for_cleanup()
        self.assert_app_removed(root)
        self.assert_registration_removed(root)

    def test_a_registry_entry_already_gone_does_not_stop_the_clean_up(self):
        root = self.install()
        self.sb.run_tool("reg.exe", "delete", UNINSTALL_KEY + IDENT + ".stable", "/f", "/reg:64")
        self.assertEqual(self.uninstall(root, "--quiet"), (0, ""))
        self.wait_for_cleanup()
        self.assert_registration_removed(root)

    def test_a_clean_up_copy_that_cannot_delete_rolls_back(self):
        # The manifest is made undeletable (even for root); the copy gives up
        # after its 20 attempts, 250 ms apart.
        root = self.install()
        manifest = os.path.join(root, MANIFEST)
        if not chattr("+i", manifest):
            self.skipTest("no immutable files here")
        self.immutable.append(manifest)
        self.sb.clear_calls()
        self.assertEqual(self.uninstall(root, "--quiet"), (0, ""))
        self.wait_for_cleanup()
        # The entry was deleted and written again (once: the restore itself
        # stopped at the manifest it could not rewrite); uninstall.exe had
        # gone first and is back.
        reg = [c[1] for c in self.sb.calls("reg.exe")]
        self.assertEqual(reg[reg.index("delete"):], ["delete", "query"] + ["add"] * 8)
        self.assertTrue(self.registered())
        self.assertTrue(os.path.exists(os.path.join(root, "uninstall.exe")))
        self.assertTrue(os.path.exists(manifest))

        self.assertTrue(chattr("-i", manifest))
        self.assertEqual(self.uninstall(root, "--quiet"), (0, ""))
        self.wait_for_cleanup()
        self.assert_registration_removed(root)


class BootstrapInstall(UninstallBase):
    def test_integrates_with_every_stage_traced(self):
        root = self.unpack()
        code, err = self.bootstrap(root, env={"TAMBERLOCK_BOOTSTRAP_TRACE": ""})
        self.assertEqual(code, 0, err)
        stages = [line[len("Bootstrap trace: "):] for line in err.splitlines()
                  if line.startswith("Bootstrap trace: windows: ")]
        self.assertEqual(stages, ["windows: resolve executable", "windows: locate bundled invocation",
                                  "windows: validate requested root", "windows: locate version metadata",
                                  "windows: read version metadata", "windows: install integration",
                                  "windows: complete"])
        self.assertEqual(len([line for line in err.splitlines()
                              if line.startswith("Bootstrap trace: windows integration: ")]), 16)
        with open(os.path.join(root, "uninstall.exe"), "rb") as f, open(SETUP, "rb") as g:
            self.assertEqual(f.read(), g.read())
        self.assertTrue(self.registered())
        for link in self.shortcuts():
            self.assertEqual(self.sb.read_shortcut(link)["TargetPath"],
                             to_win(os.path.join(root, "app", "bin", "launcher.exe")))

    def test_the_root_in_other_letter_case_passes(self):
        root = self.unpack()
        code, err = self.bootstrap(root, requested=to_win(root).upper().replace("Z:", "z:"))
        self.assertEqual(code, 0, err)
        self.assertTrue(self.registered())

    def failure(self, stage, error):
        return "Bootstrap install failed during %s: %s\nerror: %s\n" % (stage, error, error)

    def test_a_failure_names_its_stage(self):
        root = self.unpack()
        relative = os.path.relpath(root)
        cases = [
            (dict(requested=relative.replace("/", "\\")), "windows: validate requested root",
             "InvalidUninstallLocation"),
            (dict(requested="Z:" + relative.replace("/", "\\")), "windows: validate requested root",
             "InvalidUninstallLocation"),
            (dict(requested=to_win(self.channel_root("canary"))), "windows: validate requested root",
             "InvalidUninstallLocation"),
        ]
        for kwargs, stage, error in cases:
            self.assertEqual(self.bootstrap(root, **kwargs), (1, self.failure(stage, error)), kwargs)
        renamed = os.path.join(root, "app", "Resources", "uninstaller")
        shutil.copy(SETUP, renamed)
        self.assertEqual(self.run_exe(renamed, "--bootstrap-install", to_win(root), "--quiet"),
                         (1, self.failure("windows: locate bundled invocation", "InvalidUninstallLocation")))
        self.assertFalse(os.path.exists(os.path.join(root, "uninstall.exe")))

    def test_version_metadata_failures(self):
        long_name = "x" * 241
        cases = [
            (False, "FileNotFound"),
            ('{"name": "A", "identifier": "' + IDENT + '", "version": "1", "channel": "stable",'
             ' "displayName": "' + long_name + '"}', "InvalidInstalledIdentity"),
            ('{"name": "A\\tB", "identifier": "' + IDENT + '", "version": "1", "channel": "stable"}',
             "InvalidInstalledIdentity"),
            ('{"name": "A", "identifier": "' + IDENT + '", "version": "1", "channel": "beta"}',
             "InvalidInstalledIdentity"),
            ('{"name": "A", "identifier": "' + IDENT + '", "version": "1"}', "MissingField"),
            ('{"name": "A", "name": "B", "identifier": "' + IDENT + '", "version": "1", "channel": "stable"}',
             "DuplicateField"),
        ]
        for i, (version_json, error) in enumerate(cases):
            identifier = "%s%d" % (IDENT, i)
            if isinstance(version_json, str):
                version_json = version_json.replace(IDENT, identifier)
            root = self.unpack(identifier=identifier, version_json=version_json)
            self.assertEqual(self.bootstrap(root), (1, self.failure("windows: read version metadata", error)),
                             version_json)
            self.assertFalse(os.path.exists(os.path.join(root, "uninstall.exe")))

    def test_integration_failures_name_the_integration_step(self):
        root = self.unpack(launcher=False)
        self.assertEqual(self.bootstrap(root),
                         (1, self.failure("windows integration: validate launcher", "FileNotFound")))
        self.assertEqual(sorted(os.listdir(root)), ["app"])

        root = self.unpack(channel="canary")
        self.sb.add_fault("reg.exe", "add", "*", "/v", "UninstallString", "*")
        code, err = self.bootstrap(root)
        self.assertEqual(code, 1)
        self.assertTrue(err.endswith(self.failure("windows integration: register uninstall entry",
                                                  "WindowsCommandFailed")), err)
        self.assertFalse(self.registered("canary"))
        for link in self.shortcuts(NAME + " (Canary)"):
            self.assertFalse(os.path.lexists(link))

    def test_a_version_holding_nul_is_refused_before_reg_exe_runs(self):
        # Windows would end the command line at the NUL and drop "/f /reg:64".
        root = self.unpack(version_json=json.dumps({"name": NAME, "identifier": IDENT, "version": "1.0\u0000x",
                                                    "channel": "stable"}))
        code, err = self.bootstrap(root)
        self.assertEqual(code, 1)
        self.assertTrue(err.endswith(self.failure("windows integration: register uninstall entry",
                                                  "ArgumentContainsNul")), err)
        self.assertEqual([c[4] for c in self.sb.calls("reg.exe") if c[1] == "add"], ["DisplayName"])
        self.assertIsNone(self.sb.reg_values(UNINSTALL_KEY + IDENT + ".stable"))

    def test_only_the_bundled_manager_integrates(self):
        root = self.install()
        self.assertEqual(self.run_exe(os.path.join(root, "uninstall.exe"), "--bootstrap-install", to_win(root),
                                      "--quiet"),
                         (1, self.failure("windows: validate requested root", "InvalidUninstallLocation")))


class RegistrationRefresh(UninstallBase):
    REGISTERED = (0, "Registered Windows uninstaller: " + UNINSTALL_KEY + IDENT + ".stable\n")

    def start_stale_copy(self, root, nonce, name="tamberlock-uninstall-5.exe"):
        copy = os.path.join(self.sb.temp, name)
        shutil.copy(SETUP, copy)
        return self.run_exe(copy, "--cleanup-uninstaller", to_win(os.path.join(root, "uninstall.exe")),
                            to_win(os.path.join(root, MANIFEST)), nonce, "--delete-data")

    def assert_refreshed(self, root, old_nonce):
        self.assertNotEqual(self.nonce(root), old_nonce)
        adds = [c for c in self.sb.calls("reg.exe") if c[1] == "add"]
        self.assertEqual(len(adds), 8)
        # A clean-up copy still holding the old nonce removes nothing.
        self.assertEqual(self.start_stale_copy(root, old_nonce), (0, ""))
        self.wait_for_cleanup()
        self.assert_untouched(root)

    def test_refresh_from_the_manager(self):
        root = self.install()
        old = self.nonce(root)
        self.sb.clear_calls()
        self.assertEqual(self.uninstall(root, "--refresh-registration", "--quiet"), self.REGISTERED)
        self.assert_refreshed(root, old)

    def test_refresh_from_the_bundle_installs_the_manager_again(self):
        root = self.install()
        self.write(os.path.join(root, "uninstall.exe"), "old manager")
        old = self.nonce(root)
        self.sb.clear_calls()
        self.assertEqual(self.run_exe(os.path.join(root, "app", "Resources", "uninstall"), "--refresh-registration"),
                         self.REGISTERED)
        with open(os.path.join(root, "uninstall.exe"), "rb") as f, open(SETUP, "rb") as g:
            self.assertEqual(f.read(), g.read())
        self.assert_refreshed(root, old)

    def test_refresh_from_an_update_helper_copy(self):
        root = self.install()
        os.unlink(os.path.join(root, "uninstall.exe"))
        old = self.nonce(root)
        helper = os.path.join(self.sb.temp, "tamberlock-uninstall-refresh-" + "0123456789abcdef" * 2 + ".exe")
        shutil.copy(SETUP, helper)
        # A root that is not in its normalised form is refused, and the helper stays.
        for bad in (to_win(root) + "\\.", to_win(root).replace("\\stable", "/stable")):
            self.assertEqual(self.run_exe(helper, "--refresh-registration-from-update", bad, "--quiet"),
                             (1, "error: InvalidUninstallLocation\n"), bad)
        self.assertTrue(os.path.exists(helper))
        self.sb.clear_calls()
        self.assertEqual(self.run_exe(helper, "--refresh-registration-from-update", to_win(root), "--quiet"),
                         self.REGISTERED)
        self.assertTrue(os.path.exists(os.path.join(root, "uninstall.exe")))
        self.wait_for_cleanup()  # the helper has itself deleted
        self.assert_refreshed(root, old)


    def test_a_failed_registration_restores_the_old_manifest_only_from_the_bundle(self):
        root = self.install()
        old = self.nonce(root)
        self.write(os.path.join(root, "uninstall.exe"), "old manager")
        self.sb.add_fault("reg.exe", "add", "*", "/v", "DisplayVersion", "*", times=1)
        code, err = self.run_exe(os.path.join(root, "app", "Resources", "uninstall"), "--refresh-registration")
        self.assertEqual((code, err.splitlines()[-1]), (1, "error: WindowsCommandFailed"))
        # The old nonce and entry are back; the new manager stays.
        self.assertEqual(self.nonce(root), old)
        self.assertTrue(self.registered())
        with open(os.path.join(root, "uninstall.exe"), "rb") as f, open(SETUP, "rb") as g:
            self.assertEqual(f.read(), g.read())

        # Run as uninstall.exe there is nothing to roll back to.
        self.sb.add_fault("reg.exe", "add", "*", "/v", "DisplayVersion", "*", times=1)
        code, err = self.uninstall(root, "--refresh-registration")
        self.assertEqual((code, err.splitlines()[-1]), (1, "error: WindowsCommandFailed"))
        self.assertNotEqual(self.nonce(root), old)

if __name__ == "__main__":
    unittest.main()
