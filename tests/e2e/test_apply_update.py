"""End-to-end: --apply-update run by a helper copy in the temporary folder,
over an installation that the installer made, in a sandbox with the
stand-in tools.

The application's updater is played by the test: it writes the plan, copies
build/setup to %TEMP%\\tamberlock-update-<id>.exe, registers the task
ApplicationUpdate_<id> and runs the copy while a real process stands for the
running application (the plan's parent).
"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox  # noqa: E402
from sandbox import to_win  # noqa: E402
from test_installer import SETUP, InstallerTest, tar_of  # noqa: E402
from test_prepare_update import PrepareTest  # noqa: E402
from test_uninstall import wait_for  # noqa: E402

TID = "0123456789abcdef0123456789abcdef"
with open(SETUP, "rb") as _f:
    SETUP_BYTES = _f.read()


class ApplyTest(InstallerTest):
    """Version 1 installed by the installer, version 2 retained as
    self-extraction\\build2.tar (schema 1)."""

    def setUp(self):
        super().setUp()
        self.install("1")
        self.settled_launcher_lines()
        self.selfx = os.path.join(self.channel, "self-extraction")
        self.app = os.path.join(self.channel, "app")
        self.plan_path = os.path.join(self.channel, ".tamberlock-update-%s.json" % TID)
        self.result_path = os.path.join(self.channel, ".tamberlock-update-%s.result.json" % TID)
        self.task = "ApplicationUpdate_" + TID
        self.parents = []
        self.addCleanup(self.end_parents)

    def end_parents(self):
        for p in self.parents:
            if p.poll() is None:
                p.kill()
            p.wait()

    def app_entries(self, version, root="DemoApp", extra=()):
        """The installer tests' application, with the display name that an
        update's version.json must carry."""
        entries = super().app_entries(version, root, extra)
        for i, (name, data) in enumerate(entries):
            if name.endswith("/Resources/version.json"):
                entries[i] = (name, json.dumps(dict(json.loads(data), displayName="Demo App")).encode())
        return entries

    # -- the updater's part
    def retain(self, version, entries=None):
        with open(os.path.join(self.selfx, "build%s.tar" % version), "wb") as f:
            f.write(tar_of(entries or self.app_entries(version)))

    def parent(self, seconds=0.3):
        """A real process standing for the running application; it ends by
        itself after `seconds`."""
        p = subprocess.Popen(["sleep", str(seconds)])
        self.parents.append(p)
        return p.pid

    def plan(self, version="2", parent_pid=None, **over):
        plan = {
            "schema_version": 1, "transaction_id": TID, "identifier": "com.example.demo", "channel": "stable",
            "platform": "win", "arch": "x64", "version": version, "hash": "build" + version,
            "app_bundle_path": to_win(self.app), "channel_root": to_win(self.channel),
            "parent_pid": parent_pid if parent_pid is not None else self.parent(),
            "result_path": to_win(self.result_path),
            "retained_tar_path": to_win(os.path.join(self.selfx, "build%s.tar" % version)),
        }
        plan.update(over)
        with open(self.plan_path, "w") as f:
            json.dump(plan, f)
        return plan

    def helper(self, name=None):
        path = os.path.join(self.sb.temp, name or "tamberlock-update-%s.exe" % TID)
        shutil.copy(SETUP, path)
        return path

    def apply(self, helper=None, plan_path=None):
        self.sb.create_task(self.task)
        exe = helper or self.helper()
        p = subprocess.run([exe, "--apply-update", to_win(plan_path or self.plan_path), "--quiet"],
                           env=self.sb.env, capture_output=True, timeout=120)
        return p.returncode, p.stderr.decode("utf-8", "replace")

    # -- what is there afterwards
    def result(self):
        with open(self.result_path) as f:
            return json.load(f)

    def installed_version(self):
        with open(os.path.join(self.app, "Resources", "version.json")) as f:
            return json.load(f)["version"]

    def task_deleted(self):
        return wait_for(lambda: not self.sb.task_exists(self.task))

    def temp_emptied(self):
        return wait_for(lambda: os.listdir(self.sb.temp) == [])


class Applies(ApplyTest):
    def test_retained_archive_swapped_in_and_relaunched(self):
        self.retain("2")
        for name in ("build0.tar", "build1.tar.zst", "x.partial", ".tamberlock-prepared-update.json"):
            with open(os.path.join(self.selfx, name), "w") as f:
                f.write("stale")
        os.makedirs(os.path.join(self.selfx, "kept.partial"))
        self.plan()
        code, err = self.apply()
        self.assertEqual(code, 0, err)
        self.assertIn("Warning: Refusing to remove non-file update state: kept.partial\n", err)
        self.assertNotIn("error", err.lower())
        self.assertEqual(self.installed_version(), "2")
        self.assertEqual(self.result(), {
            "schema_version": 1, "transaction_id": TID, "success": True, "phase": "complete",
            "message": "Update applied successfully.", "identifier": "com.example.demo", "channel": "stable",
            "version": "2", "hash": "build2"})
        self.assertEqual(sorted(os.listdir(self.selfx)), ["build2.tar", "kept.partial"])
        self.assertEqual(sorted(os.listdir(self.channel)),
                         [".tamberlock-uninstall.json", os.path.basename(self.result_path), "app",
                          "self-extraction", "uninstall.exe"])
        self.assertEqual(self.settled_launcher_lines()[-1], "DemoApp 2 launcher started")
        self.assertTrue(self.temp_emptied(), os.listdir(self.sb.temp))
        self.assertTrue(self.task_deleted())
        self.assertIn(["schtasks.exe", "/Delete", "/TN", self.task, "/F"], self.sb.calls("schtasks.exe"))

    def test_copy_marked_for_deletion_at_restart_when_its_script_cannot_start(self):
        self.retain("2")
        self.plan()
        os.unlink(self.sb.tool("cmd.exe"))
        helper = self.helper()
        code, err = self.apply(helper)
        self.assertEqual(code, 0, err)
        self.assertIn("Warning: Could not start update-helper cleanup: error.FileNotFound\n", err)
        with open(os.path.join(self.sb.state, "reboot-deletions.txt")) as f:
            self.assertEqual(f.read(), to_win(helper) + "\n")


class FailureRoads(ApplyTest):
    """One row a road of the failure table: what the run leaves, and whether
    version 1 is started again once the parent has ended."""

    def test_each_road(self):
        def broken_launcher(entries):
            return tar_of([(n, b"#!/nonexistent/sh\n" if n.endswith("launcher.exe") else d) for n, d in entries])

        def identity_of_3(entries):
            return tar_of([(n, d.replace(b'"version": "2"', b'"version": "3"') if n.endswith("version.json") else d)
                           for n, d in entries])

        other_tar = {"retained_tar_path": to_win(os.path.join(self.selfx, "build9.tar"))}
        upper = "tamberlock-update-%s.EXE" % TID
        rows = [
            # name, error, phase in the result (None: no result), what stays, whether version 1
            # is started again, and the row's setting: payload (version 2's entries -> archive),
            # plan (changed fields), helper (its name), elsewhere (the plan run from another
            # folder), fault (a stand-in fault rule)
            ("copy of another name, rejected plan", "InvalidUpdatePath", None, "plan copy task archive", False,
             dict(plan=other_tar, helper=upper)),
            ("rejected plan", "InvalidUpdatePath", "validating", "archive", True, dict(plan=other_tar)),
            ("plan run from another folder", "InvalidUpdatePath", None, "plan archive", True, dict(elsewhere=True)),
            ("good plan, copy of another name", "InvalidUpdateHelper", "validating", "copy archive", True,
             dict(helper=upper)),
            ("archive cut short", "UnexpectedEndOfStream", "extracting", "", True,
             dict(payload=lambda e: tar_of(e)[:1000])),
            ("payload of another version", "InvalidUpdateIdentity", "validating_payload", "", True,
             dict(payload=identity_of_3)),
            ("integration fails", "WindowsCommandFailed", "integrating", "archive", True,
             dict(fault=("reg.exe", "add", "*"))),
            ("launch fails", "FileNotFound", "launching", "archive", True, dict(payload=broken_launcher)),
        ]
        for name, error, phase, stays, relaunched, setting in rows:
            with self.subTest(name):
                self.reset()
                archive = os.path.join(self.selfx, "build2.tar")
                with open(archive, "wb") as f:
                    f.write(setting.get("payload", tar_of)(self.app_entries("2")))
                self.plan(**setting.get("plan", {}))
                plan_path = self.plan_path
                if setting.get("elsewhere"):
                    plan_path = os.path.join(self.sb.root, os.path.basename(self.plan_path))
                    os.rename(self.plan_path, plan_path)
                if "fault" in setting:
                    self.sb.add_fault(*setting["fault"], times=1)
                helper = self.helper(setting.get("helper"))
                launches = len(self.settled_launcher_lines())
                code, err = self.apply(helper, plan_path)
                self.assertEqual((code, err.splitlines()[-1]), (1, "error: " + error), err)
                self.assertEqual(self.installed_version(), "1")
                self.assertFalse(os.path.exists(self.app + ".previous"))
                if phase is None:
                    self.assertFalse(os.path.exists(self.result_path))
                else:
                    self.assertEqual((self.result()["success"], self.result()["phase"], self.result()["message"]),
                                     (False, phase, error))
                self.assertEqual(os.path.exists(plan_path), "plan" in stays)
                if "task" in stays:
                    self.assertEqual(self.sb.calls("schtasks.exe")[-1][1], "/create")
                else:
                    self.assertTrue(self.task_deleted())
                self.assertEqual(os.path.exists(archive), "archive" in stays)
                lines = self.settled_launcher_lines()
                self.assertEqual(lines[launches:], ["DemoApp 1 launcher started"] if relaunched else [])
                self.assertTrue(wait_for(lambda: os.path.exists(helper) == ("copy" in stays)))

    def reset(self):
        """Back to version 1 installed and nothing of an earlier row left."""
        self.end_parents()
        self.sb.clear_faults()
        for path in (self.plan_path, self.result_path, os.path.join(self.sb.root, os.path.basename(self.plan_path))):
            if os.path.exists(path):
                os.unlink(path)
        for name in os.listdir(self.sb.temp):
            os.unlink(os.path.join(self.sb.temp, name))


def runs_a_tool(pid):
    """A stand-in tool started by pid runs."""
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            if parent == pid:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    command = f.read()
                if b"powershell.exe" in command or b"reg.exe" in command:
                    return True
        except OSError:
            continue
    return False


def waits_for_a_process(pid):
    """The apply holds a process descriptor: it waits for its parent."""
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == "anon_inode:[pidfd]":
                return True
        except OSError:
            pass
    return False


class KilledApply(ApplyTest):
    """An apply killed at each phase, then a second apply or an installer
    run: one whole application that starts, registered, nothing of the
    swap left beside it."""

    def test_each_phase(self):
        many = [("DemoApp/many", None)] + [("DemoApp/many/f%05d" % i, b"x" * 2048) for i in range(4000)]
        stage = self.app + ".update-" + TID

        def integrating(p):
            return os.path.isdir(self.app + ".previous") and runs_a_tool(p.pid)

        rows = [
            # phase, how the test sees it reached, whether the old version is aside then, recovery
            ("extracting", lambda p: os.path.isdir(stage), False, "apply"),
            ("waiting for the parent", lambda p: waits_for_a_process(p.pid), False, "installer"),
            ("integrating", integrating, True, "apply"),
            ("integrating", integrating, True, "installer"),
        ]
        for phase, reached, aside, recovery in rows:
            with self.subTest(phase=phase, recovery=recovery):
                self.end_parents()
                self.retain("2", self.app_entries("2", extra=many))
                self.plan(parent_pid=self.parent(60 if phase.startswith("waiting") else 0))
                self.sb.create_task(self.task)
                if phase.startswith("waiting"):
                    self.assertTrue(wait_for(lambda: self.parents[-1].poll() is None))
                else:
                    self.parents[-1].wait()
                p = subprocess.Popen([self.helper(), "--apply-update", to_win(self.plan_path), "--quiet"],
                                     env=self.sb.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                end = time.time() + 60
                while not reached(p) and p.poll() is None and time.time() < end:
                    time.sleep(0.001)
                os.kill(p.pid, signal.SIGKILL)
                p.wait()
                self.assertEqual(p.returncode, -signal.SIGKILL, "the apply ended before %s" % phase)
                self.assertEqual(os.path.isdir(self.app + ".previous"), aside)
                self.end_parents()

                if recovery == "apply":
                    self.plan(parent_pid=self.parent(0))
                    code, err = self.apply()
                    version = "2"
                else:
                    self.install("3")
                    code, err, version = 0, "", "3"
                self.assertEqual(code, 0, err)
                self.assertEqual(self.installed_version(), version)
                self.assertEqual(self.settled_launcher_lines()[-1], "DemoApp %s launcher started" % version)
                self.assertIn("QuietUninstallString", self.sb.reg_values(
                    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.example.demo.stable"))
                self.assertFalse(os.path.exists(self.app + ".previous"))
                if recovery == "apply":
                    self.assertFalse(os.path.exists(stage))
                shutil.rmtree(stage, ignore_errors=True)  # an installer knows nothing of the stage


class FullCycle(PrepareTest):
    """As a user meets it: version 1 installed by the installer, version 2
    prepared by patch and applied, version 3 prepared in full and applied,
    then uninstalled."""

    def tar(self, k):
        if k not in self.tars:
            self.log = os.path.join(self.sb.root, "launcher.log")
            data = bytes((i * k) % 251 for i in range(200000))
            version = json.dumps({"identifier": "com.example.demo", "name": "Demo App", "displayName": "Demo App",
                                  "channel": "stable", "version": "%d.0" % k, "hash": "h%d" % k,
                                  "baseUrl": self.server.base_url}).encode()
            launcher = "#!/bin/sh\necho \"DemoApp %d started\" >> '%s'\n" % (k, self.log)
            self.tars[k] = tar_of([("DemoApp", None), ("DemoApp/bin", None),
                                   ("DemoApp/bin/launcher.exe", launcher.encode()), ("DemoApp/Resources", None),
                                   ("DemoApp/Resources/uninstall", SETUP_BYTES),
                                   ("DemoApp/Resources/version.json", version),
                                   ("DemoApp/Resources/data.bin", data)])
        return self.tars[k]

    def launched(self):
        if not os.path.exists(self.log):
            return ""
        with open(self.log) as f:
            return f.read()

    def prepare_as_updater(self, k, **over):
        """The updater removes its request once the preparation has run."""
        request = self.request(k, **over)
        outcome = self.prepare(request)
        os.unlink(sandbox.to_host(request))
        return outcome

    def apply_prepared(self, k):
        tid = "%032x" % (0xdef0000 + k)
        app = os.path.join(self.channel, "app")
        with open(os.path.join(self.selfx, "h%d.recipe.json" % k), "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        parent = subprocess.Popen(["sleep", "0.3"])
        self.addCleanup(parent.wait)
        plan = {"schema_version": 2, "transaction_id": tid, "identifier": "com.example.demo", "channel": "stable",
                "platform": "win", "arch": "x64", "version": "%d.0" % k, "hash": "h%d" % k,
                "app_bundle_path": to_win(app), "channel_root": to_win(self.channel), "parent_pid": parent.pid,
                "result_path": to_win(os.path.join(self.channel, ".tamberlock-update-%s.result.json" % tid)),
                "staging_path": to_win(app + ".prepared-h%d" % k),
                "recipe_path": to_win(os.path.join(self.selfx, "h%d.recipe.json" % k)), "recipe_sha256": digest}
        plan_path = os.path.join(self.channel, ".tamberlock-update-%s.json" % tid)
        with open(plan_path, "w") as f:
            json.dump(plan, f)
        helper = os.path.join(self.sb.temp, "tamberlock-update-%s.exe" % tid)
        shutil.copy(SETUP, helper)
        self.sb.create_task("ApplicationUpdate_" + tid)
        p = subprocess.run([helper, "--apply-update", to_win(plan_path), "--quiet"], env=self.sb.env,
                           capture_output=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(os.path.join(self.channel, ".tamberlock-update-%s.result.json" % tid)) as f:
            self.assertEqual(json.load(f)["version"], "%d.0" % k)
        self.assertTrue(wait_for(lambda: self.launched().endswith("DemoApp %d started\n" % k)), self.launched())
        self.assertTrue(wait_for(lambda: os.listdir(self.sb.temp) == []), os.listdir(self.sb.temp))
        self.assertTrue(wait_for(lambda: not self.sb.task_exists("ApplicationUpdate_" + tid)))
        self.assertEqual(sorted(n for n in os.listdir(self.channel) if n.startswith("app")), ["app"])
        os.unlink(os.path.join(self.channel, ".tamberlock-update-%s.result.json" % tid))  # read by the updater

    def test_install_update_twice_and_uninstall(self):
        self.serve(patches=[(1, 2)])
        self.assertEqual(self.prepare_as_updater(2), (0, ""))
        self.apply_prepared(2)
        self.serve(full=[3])
        code, err = self.prepare_as_updater(3, base_hash="h2")
        self.assertEqual(code, 0, err)
        self.assertIn("streaming the full update", err)
        self.apply_prepared(3)
        self.assertEqual(sorted(os.listdir(self.selfx)), ["h3.recipe.json"])

        with open(os.path.join(self.channel, "settings.json"), "w") as f:
            f.write("user data")
        uninstall = os.path.join(self.channel, "uninstall.exe")
        p = subprocess.run([uninstall, "--uninstall", "--quiet"], env=self.sb.env, capture_output=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertTrue(wait_for(lambda: os.listdir(self.sb.temp) == []), os.listdir(self.sb.temp))
        # The prepare lock file is made once and never deleted.
        self.assertEqual(sorted(os.listdir(self.channel)), [".tamberlock-prepare.lock", "settings.json"])
        self.assertIsNone(self.sb.reg_values(
            "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.example.demo.stable"))
        self.assertEqual(os.listdir(self.sb.desktop) + os.listdir(self.sb.start_menu_programs), [])


if __name__ == "__main__":
    unittest.main()
