"""End-to-end: how build/setup picks its role from its arguments and name."""
import os
import pty
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("TL_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SETUP = os.path.join(BUILD, "setup")


def run(args, exe=SETUP, env_extra=None, cwd=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAMBERLOCK_")}
    env.pop("SystemRoot", None)
    env.update(env_extra or {})
    p = subprocess.run([exe] + args, capture_output=True, env=env, cwd=cwd, timeout=60)
    return p.returncode, p.stderr.decode("utf-8", "replace")


class Dispatch(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tl-e2e-")
        # A user profile and a system folder of its own, so no role can touch
        # the real profile or the stand-ins' state shared with other tests.
        for d in ("Local", "Temp", "Roaming", "Profile", "Windows"):
            os.makedirs(os.path.join(self.tmp, d))
        self.env = {
            "SystemRoot": os.path.join(self.tmp, "Windows"),
            "LOCALAPPDATA": os.path.join(self.tmp, "Local"),
            "TEMP": os.path.join(self.tmp, "Temp"),
            "APPDATA": os.path.join(self.tmp, "Roaming"),
            "USERPROFILE": os.path.join(self.tmp, "Profile"),
        }

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_wrong_forms_print_only_the_error_line(self):
        wrong = [
            ["--uninstall", "--delete-data"],
            ["--delete-data"],
            ["--refresh-registration", "--delete-data"],
            ["--bootstrap-install", "", "--quiet"],
            ["--cleanup-uninstaller", "a", "b", "c", "--quiet"],
            ["--prepare-update", "req"],
            ["--prepare-update", "req", "--quiet", "extra"],
            ["--apply-update", "plan", "--loud"],
            ["whatever"],
        ]
        for args in wrong:
            code, err = run(args, env_extra=self.env)
            self.assertEqual(code, 1, args)
            self.assertEqual(err, "error: InvalidArguments\n", args)

    def test_update_count_is_checked_even_with_preview(self):
        env = dict(self.env, TAMBERLOCK_INSTALLER_UI_PREVIEW="all")
        for args in (["--prepare-update", "req"], ["--apply-update", "a", "b", "c"]):
            code, err = run(args, env_extra=env)
            self.assertEqual((code, err), (1, "error: InvalidArguments\n"), args)

    def test_bad_preview_value(self):
        for value in ("", "ALL", "true"):
            code, err = run(["--uninstall"], env_extra=dict(self.env, TAMBERLOCK_INSTALLER_UI_PREVIEW=value))
            self.assertEqual((code, err), (1, "error: InvalidInstallerUiPreview\n"), value)

    def test_installer_name_prints_banner_first(self):
        exe = os.path.join(self.tmp, "Setup.exe")
        shutil.copy(SETUP, exe)
        code, err = run([], exe=exe, env_extra=self.env)
        self.assertEqual(code, 1)
        self.assertTrue(err.startswith("Self-extractor v1.3 starting...\n"), err)
        self.assertTrue(err.endswith("error: InvalidInstaller\n"), err)
        self.assertIn("ERROR: Not a valid self-extracting installer\n", err)

    def test_installer_path_of_1024_bytes_fits_and_1025_does_not(self):
        # The path is measured in its Windows form, "Z:" + the host path.
        for total, last in ((1024, "error: InvalidInstaller\n"), (1025, "error: NameTooLong\n")):
            folder = self.tmp
            while total - 2 - len(folder) - 1 > 250:
                folder = os.path.join(folder, "d" * 200)
            os.makedirs(folder, exist_ok=True)
            exe = os.path.join(folder, "s" * (total - 2 - len(folder) - 1 - 4) + ".exe")
            self.assertEqual(len(exe) + 2, total)
            os.symlink(SETUP, exe)
            code, err = run([], exe=exe, env_extra=self.env)
            self.assertEqual(code, 1, total)
            self.assertTrue(err.startswith("Self-extractor v1.3 starting...\n"), err)
            self.assertTrue(err.endswith(last), (total, err))

    def test_uninstall_name_in_any_case_reaches_the_uninstaller(self):
        for name in ("UNINSTALL.EXE", "uninstall.exe"):
            d = tempfile.mkdtemp(dir=self.tmp)
            exe = os.path.join(d, name)
            shutil.copy(SETUP, exe)
            code, err = run([], exe=exe, env_extra=self.env)
            self.assertEqual(code, 1, name)
            self.assertNotIn("Self-extractor", err, name)

    def test_own_name_is_the_started_name_not_the_link_target(self):
        real = os.path.join(self.tmp, "real")
        os.makedirs(real)
        shutil.copy(SETUP, os.path.join(real, "Setup.exe"))
        # A link named uninstall.exe to a program named Setup.exe.
        linkdir = os.path.join(self.tmp, "viaLink")
        os.makedirs(linkdir)
        os.symlink(os.path.join(real, "Setup.exe"), os.path.join(linkdir, "uninstall.exe"))
        code, err = run([], exe=os.path.join(linkdir, "uninstall.exe"), env_extra=self.env)
        self.assertNotIn("Self-extractor", err)
        # A folder reached through a link keeps the started name too.
        os.symlink(real, os.path.join(self.tmp, "linkedFolder"))
        code, err = run([], exe=os.path.join(self.tmp, "linkedFolder", "Setup.exe"), env_extra=self.env)
        self.assertTrue(err.startswith("Self-extractor v1.3 starting...\n"), err)

    def test_error_word_is_coloured_only_on_a_terminal(self):
        code, err = run(["bogus"], env_extra=self.env)
        self.assertNotIn("\x1b[", err)
        pid, fd = pty.fork()
        if pid == 0:
            env = dict(os.environ, TERM="xterm", **self.env)
            os.execve(SETUP, [SETUP, "bogus"], env)
        out = b""
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 1)
        text = out.decode("utf-8", "replace")
        self.assertIn("\x1b[", text)
        self.assertIn("InvalidArguments", text)


if __name__ == "__main__":
    unittest.main()
