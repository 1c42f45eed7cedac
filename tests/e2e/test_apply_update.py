"""End-to-end: --apply-update run by a helper copy in the temporary folder,
over an installation that the installer made, in a sandbox with the
stand-in tools.

The application's updater is played by the test: it writes the plan, copies
build/setup to %TEMP%\\tamberlock-update-<id>.exe, registers the task
ApplicationUpdate_<id> and runs the copy while a real process stands for the
running application (the plan's parent). Version k (build hk) is the
preparation tests' application.
"""
import fcntl
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
from sandbox import running_with, to_host, to_win, wait_for  # noqa: E402
from test_installer import tar_of  # noqa: E402
from test_prepare_update import APP_ID, SETUP, PrepareTest  # noqa: E402

TID = "0123456789abcdef0123456789abcdef"
RUN_ONCE_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
OTHER_TID = "fedcba9876543210fedcba9876543210"
# Entries that make unpacking last long enough to be met.
MANY = [("DemoApp/many", None)] + [("DemoApp/many/f%05d" % i, b"x" * 2048) for i in range(4000)]
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s.stable" % APP_ID


class ApplyTest(PrepareTest):
    def launch_log(self):
        return os.path.join(self.sb.root, "launcher.log")

    # -- the updater's part
    def parent(self, seconds=0.3):
        """A real process standing for the running application."""
        p = subprocess.Popen(["sleep", str(seconds)])
        self.addCleanup(p.wait)
        self.addCleanup(p.kill)
        return p

    def retain(self, k, archive=None):
        """Version k as the retained archive of a schema 1 plan."""
        with open(os.path.join(self.selfx, "h%d.tar" % k), "wb") as f:
            f.write(archive if archive is not None else self.tar(k))

    def write_plan(self, k, schema=1, tid=TID, parent=None, **over):
        app = os.path.join(self.channel, "app")
        plan = {"schema_version": schema, "transaction_id": tid, "identifier": APP_ID, "channel": "stable",
                "platform": "win", "arch": "x64", "version": "%d.0" % k, "hash": "h%d" % k,
                "app_bundle_path": to_win(app), "channel_root": to_win(self.channel),
                "parent_pid": (parent or self.parent()).pid, "result_path": to_win(self.result_path(tid))}
        if schema == 1:
            plan["retained_tar_path"] = to_win(os.path.join(self.selfx, "h%d.tar" % k))
        else:
            recipe = os.path.join(self.selfx, "h%d.recipe.json" % k)
            with open(recipe, "rb") as f:
                plan.update(staging_path=to_win(app + ".prepared-h%d" % k), recipe_path=to_win(recipe),
                            recipe_sha256=hashlib.sha256(f.read()).hexdigest())
        plan.update(over)
        path = os.path.join(self.channel, ".tamberlock-update-%s.json" % tid)
        with open(path, "w") as f:
            json.dump(plan, f)
        return path

    def start_helper(self, plan_path, tid=TID, name=None, wait=True):
        """Copies setup to the temporary folder, registers the task and runs
        the copy; (exit code, standard error, the copy's path)."""
        helper = os.path.join(self.sb.temp, name or "tamberlock-update-%s.exe" % tid)
        if os.path.exists(helper):
            os.unlink(helper)  # a killed copy's child may still be starting from it
        shutil.copy(SETUP, helper)
        self.sb.create_task("ApplicationUpdate_" + tid)
        argv = [helper, "--apply-update", to_win(plan_path), "--quiet"]
        if not wait:
            return subprocess.Popen(argv, env=self.sb.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        p = subprocess.run(argv, env=self.sb.env, capture_output=True, timeout=120)
        return p.returncode, p.stderr.decode("utf-8", "replace"), helper

    def run_copy(self, helper, plan_path):
        """Runs a copy already in place, as its task starts it again; (exit code, standard error)."""
        p = subprocess.run([helper, "--apply-update", to_win(plan_path), "--quiet"], env=self.sb.env,
                           capture_output=True, timeout=120)
        return p.returncode, p.stderr.decode("utf-8", "replace")

    # -- what is there afterwards
    def result_path(self, tid=TID):
        return os.path.join(self.channel, ".tamberlock-update-%s.result.json" % tid)

    def result(self, tid=TID):
        with open(self.result_path(tid)) as f:
            return json.load(f)

    def assertInstalled(self, entries):
        """app holds these archive entries byte for byte."""
        for name, body in entries:
            path = os.path.join(self.channel, "app", name.partition("/")[2])
            if body is None:
                self.assertTrue(os.path.isdir(path), name)
            else:
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), body, name)

    def installed_version(self):
        with open(os.path.join(self.channel, "app", "Resources", "version.json")) as f:
            return json.load(f)["version"]

    def launches(self):
        """The launcher's lines once no launcher of this sandbox still runs."""
        self.assertTrue(wait_for(lambda: not running_with(self.sb.root.encode(), b"launcher.exe")))
        if not os.path.exists(self.launch_log()):
            return []
        with open(self.launch_log()) as f:
            return f.read().splitlines()

    def helper_gone(self, tid=TID):
        """The copy, its clean-up script and its task."""
        return wait_for(lambda: os.listdir(self.sb.temp) == [] and
                        not self.sb.task_exists("ApplicationUpdate_" + tid))


class Applies(ApplyTest):
    def test_retained_archive(self):
        self.retain(2)
        for name in ("h0.tar", "h1.tar.zst", "x.partial", ".tamberlock-prepared-update.json"):
            with open(os.path.join(self.selfx, name), "w") as f:
                f.write("stale")
        os.makedirs(os.path.join(self.selfx, "kept.partial"))
        code, err, _ = self.start_helper(self.write_plan(2))
        self.assertEqual(code, 0, err)
        self.assertIn("Warning: Refusing to remove non-file update state: kept.partial\n", err)
        self.assertNotIn("error", err.lower())
        self.assertEqual(self.installed_version(), "2.0")
        self.assertEqual(self.result(), {
            "schema_version": 1, "transaction_id": TID, "success": True, "phase": "complete",
            "message": "Update applied successfully.", "identifier": APP_ID, "channel": "stable",
            "version": "2.0", "hash": "h2"})
        self.assertEqual(sorted(os.listdir(self.selfx)), ["h2.tar", "kept.partial"])
        self.assertEqual(self.named(".tamberlock-update-") + self.named("app"),
                         [os.path.basename(self.result_path()), "app"])
        self.assertEqual(self.launches()[-1], "DemoApp 2 started")
        self.assertTrue(self.helper_gone(), os.listdir(self.sb.temp))
        self.assertIn(["schtasks.exe", "/Delete", "/TN", "ApplicationUpdate_" + TID, "/F"],
                      self.sb.calls("schtasks.exe"))


class FailureRoads(ApplyTest):
    """One row a road of the failure table: what the run leaves, and whether
    version 1 is started again once the parent has ended."""

    def test_each_road(self):
        def changed(suffix, change):
            return lambda entries: tar_of([(n, change(d) if n.endswith(suffix) else d) for n, d in entries])

        broken_launcher = changed("launcher.exe", lambda d: b"#!/nonexistent/sh\n")
        claims_3 = changed("version.json", lambda d: d.replace(b'"2.0"', b'"3.0"'))
        other_tar = {"retained_tar_path": to_win(os.path.join(self.selfx, "h9.tar"))}
        upper = "tamberlock-update-%s.EXE" % TID
        rows = [
            # name, error, phase in the result (None: no result), what stays, whether version 1
            # is started again, and the row's setting: payload (version 2's entries -> archive),
            # plan (changed fields), helper (its name), elsewhere (the plan run from another
            # folder), fault (a stand-in fault rule), interrupted (app moved to app.previous)
            ("copy of another name, rejected plan", "InvalidUpdatePath", None, "plan copy task archive", False,
             dict(plan=other_tar, helper=upper)),
            ("rejected plan", "InvalidUpdatePath", "validating", "archive", True, dict(plan=other_tar)),
            ("plan run from another folder", "InvalidUpdatePath", None, "plan archive", True, dict(elsewhere=True)),
            ("good plan, copy of another name", "InvalidUpdateHelper", "validating", "copy archive", True,
             dict(helper=upper)),
            ("archive cut short", "UnexpectedEndOfStream", "extracting", "", True,
             dict(payload=lambda e: tar_of(e)[:1000])),
            ("archive cut short after a swap that stopped between its renames", "UnexpectedEndOfStream",
             "extracting", "", True, dict(payload=lambda e: tar_of(e)[:1000], interrupted=True)),
            ("payload of another version", "InvalidUpdateIdentity", "validating_payload", "", True,
             dict(payload=claims_3)),
            ("integration fails", "WindowsCommandFailed", "integrating", "archive", True,
             dict(fault=("reg.exe", "add", "*"))),
            ("launch fails", "FileNotFound", "launching", "archive", True, dict(payload=broken_launcher)),
        ]
        for name, error, phase, stays, relaunched, setting in rows:
            with self.subTest(name):
                self.sb.clear_faults()
                for folder in (self.channel, self.sb.root, self.sb.temp):
                    for n in os.listdir(folder):
                        if n.startswith((".tamberlock-update-", "tamberlock-")):
                            os.unlink(os.path.join(folder, n))
                self.retain(2, setting.get("payload", tar_of)(self.entries(2)))
                plan = self.write_plan(2, **setting.get("plan", {}))
                if setting.get("elsewhere"):
                    os.rename(plan, os.path.join(self.sb.root, os.path.basename(plan)))
                    plan = os.path.join(self.sb.root, os.path.basename(plan))
                if "fault" in setting:
                    self.sb.add_fault(*setting["fault"], times=1)
                if setting.get("interrupted"):
                    os.rename(os.path.join(self.channel, "app"), os.path.join(self.channel, "app.previous"))
                launches = len(self.launches())
                code, err, helper = self.start_helper(plan, name=setting.get("helper"))
                self.assertEqual((code, err.splitlines()[-1]), (1, "error: " + error), err)
                self.assertEqual(self.installed_version(), "1.0")
                self.assertEqual(self.named("app"), ["app"])
                if phase is None:
                    self.assertFalse(os.path.exists(self.result_path()))
                else:
                    self.assertEqual([self.result()[k] for k in ("success", "phase", "message")],
                                     [False, phase, error])
                self.assertEqual(os.path.exists(plan), "plan" in stays)
                if "task" in stays:
                    self.assertEqual(self.sb.calls("schtasks.exe")[-1][1], "/create")
                else:
                    self.assertTrue(wait_for(lambda: not self.sb.task_exists("ApplicationUpdate_" + TID)))
                self.assertEqual(os.path.exists(os.path.join(self.selfx, "h2.tar")), "archive" in stays)
                self.assertEqual(self.launches()[launches:], ["DemoApp 1 started"] if relaunched else [])
                self.assertTrue(wait_for(lambda: os.path.exists(helper) == ("copy" in stays)))


class HelperCleanup(ApplyTest):
    """The copy cannot delete itself while it runs: a script does it once the
    copy has ended, or the user's next logon."""

    def test_rejected_plan_leaves_nothing_behind_a_parent_that_lives_on(self):
        # The real pause: the script's 30 attempts span about 30 s, less
        # than the parent lives.
        self.sb.set_ping_ms(1000)
        self.retain(2)
        plan = self.write_plan(2, parent=self.parent(40),
                               retained_tar_path=to_win(os.path.join(self.selfx, "h9.tar")))
        code, err, _ = self.start_helper(plan)
        self.assertEqual((code, err.splitlines()[-1]), (1, "error: InvalidUpdatePath"), err)
        self.assertEqual(self.launches()[-1], "DemoApp 1 started")
        self.assertTrue(wait_for(lambda: os.listdir(self.sb.temp) == [], timeout=60), os.listdir(self.sb.temp))

    def test_copy_left_to_the_next_logon_when_its_script_cannot_start(self):
        os.unlink(self.sb.tool("cmd.exe"))
        rows = [
            # version, reg.exe fault, the warning after "could not start", whether RunOnce holds the value
            (2, None, None, True),
            (3, ("reg.exe", "add", "*\\RunOnce", "*"), "Warning: Could not schedule update-helper cleanup.", False),
        ]
        for k, fault, warning, written in rows:
            with self.subTest(k=k):
                tid = "%032x" % k
                self.sb.clear_faults()
                if fault:
                    self.sb.add_fault(*fault)
                self.retain(k)
                code, err, helper = self.start_helper(self.write_plan(k, tid=tid), tid=tid)
                self.assertEqual(code, 0, err)
                lines = err.splitlines()
                start = lines.index("Warning: Could not start update-helper cleanup: error.FileNotFound")
                self.assertEqual(lines[start + 1:start + 2], [warning] if warning else [], err)
                command = '"%s" /c del /f /q "%s"' % (to_win(self.sb.tool("cmd.exe")), to_win(helper))
                self.assertEqual((self.sb.reg_values(RUN_ONCE_KEY) or {}).get("TamberlockUpdateCleanup_" + tid),
                                 ("REG_SZ", command) if written else None)
                self.assertTrue(os.path.exists(helper))
                # Nothing claims a deletion at the next restart.
                self.assertLessEqual(set(os.listdir(self.sb.state)),
                                     {".lock", "calls.log", "faults", "ping-ms", "registry.txt", "tasks.txt"})


def open_files(pid):
    try:
        return [os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)]
    except OSError:
        return []


def unpacking(pid):
    """The apply reads a retained archive."""
    return any(f.endswith(".tar") for f in open_files(pid))


def lock_waiters(path):
    """Processes waiting for an flock of the file at path: "->" lines of /proc/locks."""
    st = os.stat(path)
    key = " %02x:%02x:%d " % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
    with open("/proc/locks") as f:
        return [int(line.split()[5]) for line in f if key in line and " -> " in line]


def waits_for_the_parent(pid, last_file):
    """The apply holds the parent's process descriptor (from the plan check
    on), has unpacked the archive's last file and no longer reads it."""
    files = open_files(pid)
    return "anon_inode:[pidfd]" in files and os.path.exists(last_file) and \
        not any(f.endswith(".tar") for f in files)


class KilledApply(ApplyTest):
    """An apply killed at each phase, then a second apply or an installer
    run: one whole application that starts, registered, nothing of the swap
    left beside it."""

    def test_each_phase(self):
        app = os.path.join(self.channel, "app")
        stage = app + ".update-" + TID
        many = MANY
        last = os.path.join(stage, "DemoApp", "many", "f03999")
        tools = os.path.join(self.sb.state, ".lock")
        rows = [
            # phase, how the test sees it reached, whether the old version is aside then, recovery
            # (apply: the same plan again; other: an application of another transaction)
            ("extracting", lambda p: os.path.isdir(stage), False, "apply"),
            ("extracting", lambda p: unpacking(p.pid), False, "other"),
            ("waiting for the parent", lambda p: waits_for_the_parent(p.pid, last), False, "installer"),
            # held at its first stand-in: the test holds the stand-ins' state lock
            ("swapping or integrating", lambda p: lock_waiters(tools), True, "apply"),
            ("swapping or integrating", lambda p: lock_waiters(tools), True, "installer"),
        ]
        for phase, reached, aside, recovery in rows:
            with self.subTest(phase=phase, recovery=recovery):
                if os.path.exists(self.result_path()):
                    os.unlink(self.result_path())  # read by the updater: a new update is another plan
                if self.installed_version() == "2.0":
                    self.install(1)  # else the plan finds its version applied
                # Extracting cannot be held and is met by polling: a busy machine may let it pass unseen.
                for _ in range(3 if phase == "extracting" else 1):
                    self.retain(2, tar_of(self.entries(2) + many))
                    parent = self.parent(60 if phase.startswith("waiting") else 0)
                    if not phase.startswith("waiting"):
                        parent.wait()
                    with open(self.installation_mutex(), "a") as mutex, open(tools, "a") as state:
                        swapping = phase.startswith("swapping")
                        if swapping:  # held at the installation mutex until the stand-ins are held
                            fcntl.flock(mutex, fcntl.LOCK_EX)
                        p = self.start_helper(self.write_plan(2, parent=parent), wait=False)
                        if swapping and wait_for(lambda: self.waits_for(p, mutex.name), timeout=60):
                            fcntl.flock(state, fcntl.LOCK_EX)
                            fcntl.flock(mutex, fcntl.LOCK_UN)
                        end = time.time() + 60
                        while not reached(p) and p.poll() is None and time.time() < end:
                            time.sleep(0.001)
                        os.kill(p.pid, signal.SIGKILL)
                        p.wait()
                        for pid in lock_waiters(tools):
                            os.kill(pid, signal.SIGKILL)  # the stand-in the apply started
                    parent.kill()
                    if p.returncode == -signal.SIGKILL:
                        break
                self.assertEqual(p.returncode, -signal.SIGKILL, "the apply ended before %s" % phase)
                self.assertEqual(os.path.isdir(app + ".previous"), aside)

                if recovery == "other":
                    self.retain(3)
                    code, err, _ = self.start_helper(self.write_plan(3, tid=OTHER_TID), tid=OTHER_TID)
                    self.assertEqual(code, 0, err)
                    self.assertEqual(self.named("app"), ["app"])  # the killed run's stage is gone
                elif recovery == "apply":
                    code, err, _ = self.start_helper(self.write_plan(2))
                    self.assertEqual(code, 0, err)
                    self.assertEqual(self.named("app"), ["app"])
                else:
                    self.install(3)
                    shutil.rmtree(stage, ignore_errors=True)  # an installer knows nothing of the stage
                version = 2 if recovery == "apply" else 3
                self.assertEqual(self.installed_version(), "%d.0" % version)
                self.assertEqual(self.launches()[-1], "DemoApp %d started" % version)
                self.assertIn("QuietUninstallString", self.sb.reg_values(UNINSTALL_KEY))


class KilledAfterItsSwap(ApplyTest):
    """A helper killed once its swap is done, in its integration: the same
    plan run again by its task, or a new plan of that version, finishes the
    commit; the next version still prepares by patch."""

    def test_the_commit_is_finished(self):
        tools = os.path.join(self.sb.state, ".lock")
        for recovery in ("same plan", "new plan"):
            with self.subTest(recovery):
                if self.installed_version() != "1.0":
                    self.install(1)
                self.serve(patches=[(1, 2)])
                self.assertEqual(self.prepare(self.request(2))[0], 0)
                plan = self.write_plan(2, schema=2, parent=self.parent(0))
                with open(self.installation_mutex(), "a") as mutex, open(tools, "a") as state:
                    # Held at the mutex until the stand-ins are held, then in the integration.
                    fcntl.flock(mutex, fcntl.LOCK_EX)
                    p = self.start_helper(plan, wait=False)
                    self.assertTrue(wait_for(lambda: self.waits_for(p, mutex.name), timeout=60))
                    fcntl.flock(state, fcntl.LOCK_EX)
                    fcntl.flock(mutex, fcntl.LOCK_UN)
                    self.assertTrue(wait_for(lambda: lock_waiters(tools), timeout=60))
                    os.kill(p.pid, signal.SIGKILL)
                    p.wait()
                    for pid in lock_waiters(tools):
                        os.kill(pid, signal.SIGKILL)  # the stand-in the helper started
                self.assertEqual(self.installed_version(), "2.0")
                self.assertTrue(os.path.isdir(os.path.join(self.channel, "app.previous")))

                if recovery == "same plan":
                    # The version in app prepares the next one before the task starts the copy again.
                    self.serve(patches=[(2, 3)])
                    code, err = self.prepare(self.request(3, base_hash="h2"))
                    self.assertEqual((code, "Delta preparation unavailable" in err), (0, False), err)
                    code, err = self.run_copy(os.path.join(self.sb.temp, "tamberlock-update-%s.exe" % TID), plan)
                    tid = TID
                    self.assertEqual(self.record()["hash"], "h3")  # kept, with its recipe
                    self.assertTrue(os.path.exists(os.path.join(self.selfx, "h3.recipe.json")))
                else:
                    # As a kill after the emptied prepared folder went leaves it.
                    os.rmdir(os.path.join(self.channel, "app.prepared-h2"))
                    tid = OTHER_TID
                    code, err, _ = self.start_helper(self.write_plan(2, schema=2, tid=tid), tid=tid)
                self.assertEqual(code, 0, err)
                self.assertEqual([self.result(tid)[k] for k in ("success", "phase")], [True, "complete"])
                self.assertInstalled(self.entries(2))
                self.assertEqual(self.sb.reg_values(UNINSTALL_KEY)["DisplayVersion"][1], "2.0")
                self.assertEqual(self.launches()[-1], "DemoApp 2 started")
                self.assertTrue(os.path.exists(os.path.join(self.selfx, "h2.recipe.json")))
                self.assertFalse({"app.previous", "app.prepared-h2"} & set(self.named("app.p")))

                self.serve(patches=[(2, 3)])
                code, err = self.prepare(self.request(3, base_hash="h2"))
                self.assertEqual((code, "Delta preparation unavailable" in err), (0, False), err)
                for leftover in (self.result_path(TID), self.result_path(OTHER_TID)):
                    if os.path.exists(leftover):
                        os.unlink(leftover)


class OneAtATime(ApplyTest):
    """While a helper applies an update, a second one of the same plan (its
    task started again) ends at once and touches nothing; one of another
    plan ends at once too, with its own result, plan, task and copy done
    with; the first completes."""

    def test_second_helpers_are_refused(self):
        stage = os.path.join(self.channel, "app.update-" + TID)
        rows = [
            # when the others start, the payload, how the test sees that moment reached
            ("while the first waits", self.entries(2),
             lambda p: waits_for_the_parent(p.pid, os.path.join(stage, "DemoApp", "Resources", "data.bin"))),
            ("mid-unpacking", self.entries(2) + MANY, lambda p: unpacking(p.pid)),
        ]
        for name, entries, reached in rows:
            with self.subTest(name):
                if self.installed_version() != "1.0":
                    self.install(1)
                self.retain(2, tar_of(entries))
                self.retain(3)
                parent = self.parent(120)  # lives on until the test ends it
                plan = self.write_plan(2, parent=parent)
                first = self.start_helper(plan, wait=False)
                self.assertTrue(wait_for(lambda: reached(first) or first.poll() is not None, timeout=60))
                self.assertIsNone(first.poll())
                helper = os.path.join(self.sb.temp, "tamberlock-update-%s.exe" % TID)
                other_plan = self.write_plan(3, tid=OTHER_TID, parent=parent)
                for code, err in (self.run_copy(helper, plan),
                                  self.start_helper(other_plan, tid=OTHER_TID)[:2]):
                    self.assertEqual((code, err.splitlines()[-1]), (1, "error: UpdateApplicationBusy"), err)
                # The other plan is done with, as a rejected one: its result, and nothing of it left.
                self.assertEqual([self.result(OTHER_TID)[k] for k in ("success", "phase", "message")],
                                 [False, "validating", "UpdateApplicationBusy"])
                self.assertFalse(os.path.exists(other_plan))
                other_copy = os.path.join(self.sb.temp, "tamberlock-update-%s.exe" % OTHER_TID)
                self.assertTrue(wait_for(lambda: not os.path.exists(other_copy) and
                                         not self.sb.task_exists("ApplicationUpdate_" + OTHER_TID)))
                # Nothing of the first plan was touched.
                self.assertTrue(os.path.isdir(stage))
                for path in (plan, helper):
                    self.assertTrue(os.path.exists(path), path)
                self.assertFalse(os.path.exists(self.result_path()))
                self.assertTrue(self.sb.task_exists("ApplicationUpdate_" + TID))

                parent.kill()
                self.assertEqual(first.wait(timeout=120), 0)
                self.assertInstalled(entries)
                self.assertEqual(self.installed_version(), "2.0")
                self.assertEqual([self.result()[k] for k in ("success", "phase")], [True, "complete"])
                self.assertFalse(os.path.exists(plan))
                for leftover in (self.result_path(OTHER_TID), self.result_path()):
                    os.unlink(leftover)
                # The first's copy and script are gone before the next row puts a copy there.
                self.assertTrue(wait_for(lambda: not any(n.startswith("tamberlock-cleanup-") or n == os.path.basename(helper)
                                                         for n in os.listdir(self.sb.temp))))


class RunAgain(ApplyTest):
    def test_plan_run_again_after_its_success_was_published(self):
        """A helper killed after it published its success, before its
        clean-up, is started again by its task: the prepared stage is gone by
        then, and the run changes nothing but the clean-up."""
        self.serve(full=[2])
        code, err = self.prepare(self.request(2))
        self.assertEqual(code, 0, err)
        plan = self.write_plan(2, schema=2)
        with open(plan, "rb") as f:
            plan_bytes = f.read()
        code, err, helper = self.start_helper(plan)
        self.assertEqual(code, 0, err)
        with open(self.result_path(), "rb") as f:
            published = f.read()
        self.assertTrue(self.helper_gone(), os.listdir(self.sb.temp))

        with open(plan, "wb") as f:  # as the killed run left them
            f.write(plan_bytes)
        shutil.copy(SETUP, helper)
        self.sb.create_task("ApplicationUpdate_" + TID)
        code, err = self.run_copy(helper, plan)
        self.assertEqual((code, err), (0, ""))
        with open(self.result_path(), "rb") as f:
            self.assertEqual(f.read(), published)
        self.assertEqual(self.result()["success"], True)
        self.assertInstalled(self.entries(2))
        self.assertEqual(self.named("app"), ["app"])
        self.assertFalse(os.path.exists(plan))
        self.assertTrue(self.helper_gone(), os.listdir(self.sb.temp))


class AfterARolledBackUpdate(ApplyTest):
    """A version whose launcher cannot start fails at launching and rolls
    back, leaving its record and recipe without their folder; the next
    version still prepares, by patch and (the patch withheld) in full, and
    applies."""

    def test_next_version_prepares_and_applies(self):
        for base, bad, good, road in ((1, 2, 3, "patch"), (3, 4, 5, "full")):
            with self.subTest(road):
                self.tars[bad] = tar_of([(n, b"#!/nonexistent/sh\n" if n.endswith("launcher.exe") else d)
                                         for n, d in self.entries(bad)])
                for k, serve in ((bad, dict(patches=[(base, bad)])),
                                 (good, dict(patches=[(base, good)]) if road == "patch" else dict(full=[good]))):
                    self.serve(**serve)
                    code, err = self.prepare(self.request(k, base_hash="h%d" % base))
                    self.assertEqual((code, "streaming the full update" in err), (0, k == good and road == "full"), err)
                    tid = "%032x" % k
                    code, err, _ = self.start_helper(self.write_plan(k, schema=2, tid=tid), tid=tid)
                    self.assertEqual(code, 0 if k == good else 1, err)
                    self.assertEqual(self.result(tid)["phase"], "complete" if k == good else "launching")
                    self.assertEqual(self.installed_version(), "%d.0" % (good if k == good else base))
                    self.assertEqual(self.launches()[-1], "DemoApp %d started" % (good if k == good else base))
                    self.assertTrue(self.helper_gone(tid), os.listdir(self.sb.temp))


class FullCycle(ApplyTest):
    """As a user meets it: version 1 installed by the installer, version 2
    prepared by patch and applied, version 3 prepared in full and applied,
    then uninstalled."""

    def test_install_update_twice_and_uninstall(self):
        for k, serve, fallback in ((2, dict(patches=[(1, 2)]), False), (3, dict(full=[3]), True)):
            self.serve(**serve)
            request = self.request(k, base_hash="h%d" % (k - 1))
            code, err = self.prepare(request)
            self.assertEqual((code, "streaming the full update" in err), (0, fallback), err)
            os.unlink(to_host(request))  # the updater's file, done with
            tid = "%032x" % k
            # What an installation killed while it copied the manager and wrote the manifest leaves.
            killed = ["uninstall.exe.tmp-4242-%d" % k, ".tamberlock-uninstall.json.tmp-%016x" % k]
            for name in killed:
                with open(os.path.join(self.channel, name), "wb") as f:
                    f.write(b"half written")
            code, err, _ = self.start_helper(self.write_plan(k, schema=2, tid=tid), tid=tid)
            self.assertEqual(code, 0, err)
            self.assertFalse(set(killed) & set(os.listdir(self.channel)))
            self.assertEqual(self.result(tid)["version"], "%d.0" % k)
            os.unlink(self.result_path(tid))  # read by the updater
            self.assertEqual(self.launches()[-1], "DemoApp %d started" % k)
            self.assertTrue(self.helper_gone(tid), os.listdir(self.sb.temp))
            self.assertEqual(self.named("app"), ["app"])
        self.assertEqual(os.listdir(self.selfx), ["h3.recipe.json"])

        with open(os.path.join(self.channel, "settings.json"), "w") as f:
            f.write("user data")
        p = subprocess.run([os.path.join(self.channel, "uninstall.exe"), "--uninstall", "--quiet"],
                           env=self.sb.env, capture_output=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertTrue(wait_for(lambda: os.listdir(self.sb.temp) == []), os.listdir(self.sb.temp))
        # The prepare lock file, made once and kept by the updates, goes with
        # the application.
        self.assertEqual(sorted(os.listdir(self.channel)), ["settings.json"])
        self.assertIsNone(self.sb.reg_values(UNINSTALL_KEY))
        self.assertEqual(os.listdir(self.sb.desktop) + os.listdir(self.sb.start_menu_programs), [])


if __name__ == "__main__":
    unittest.main()
