"""The stand-ins for the Windows programs: each role, its strictness, its state."""
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import Sandbox, to_host, to_win  # noqa: E402

REFUSED = 64
PS_ARGS = ("-NoProfile", "-NonInteractive", "-WindowStyle", "Hidden", "-Command")
QUOTES = "'\u2018\u2019\u201a\u201b"
UNINSTALL = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\app.stable"


def ps_quote(text):
    return "".join(c + c if c in QUOTES else c for c in text)


def create_script(link, target, wd, icon, quote=ps_quote):
    return ("$WshShell = New-Object -ComObject WScript.Shell\n"
            f"$Shortcut = $WshShell.CreateShortcut('{quote(link)}')\n"
            f"$Shortcut.TargetPath = '{quote(target)}'\n"
            f"$Shortcut.WorkingDirectory = '{quote(wd)}'\n"
            f"$Shortcut.IconLocation = '{quote(icon)}'\n"
            "$Shortcut.WindowStyle = 1\n"
            "$Shortcut.Save()\n")


def remove_script(link, expected, link_again=None):
    link, expected = ps_quote(link), ps_quote(expected)
    again = ps_quote(link_again) if link_again is not None else link
    return ("$ErrorActionPreference = 'Stop'\n"
            f"if (-not (Test-Path -LiteralPath '{link}' -PathType Leaf)) {{ exit 0 }}\n"
            "$WshShell = New-Object -ComObject WScript.Shell\n"
            "try {\n"
            f"    $Target = $WshShell.CreateShortcut('{link}').TargetPath\n"
            "} catch {\n"
            "    # An edited/non-shortcut file is not Tamberlock-owned. Preserve it.\n"
            "    exit 0\n"
            "}\n"
            "if ([String]::IsNullOrWhiteSpace($Target)) { exit 0 }\n"
            "$Target = [Environment]::ExpandEnvironmentVariables($Target)\n"
            "$Actual = [IO.Path]::GetFullPath($Target)\n"
            f"$Expected = [IO.Path]::GetFullPath('{expected}')\n"
            "if ([String]::Equals($Actual, $Expected, [StringComparison]::OrdinalIgnoreCase)) {\n"
            f"    Remove-Item -LiteralPath '{again}' -Force\n"
            "}\n")


def precheck_script(path):
    p = ps_quote(path)
    return ("$ErrorActionPreference = 'Stop'\n"
            f"if (-not (Test-Path -LiteralPath '{p}')) {{ exit 0 }}\n"
            f"$Item = Get-Item -LiteralPath '{p}' -Force\n"
            "if ($Item.PSIsContainer -or (($Item.Attributes -band [IO.FileAttributes]::ReparsePoint) -ne 0)) { exit 2 }\n"
            "try {\n"
            "    $WshShell = New-Object -ComObject WScript.Shell\n"
            f"    [void]$WshShell.CreateShortcut('{p}').TargetPath\n"
            "} catch {\n"
            "    # An edited/non-shortcut file is not Tamberlock-owned. Preserve it.\n"
            "    exit 0\n"
            "}\n")


def stop_script(root):
    return ("$ErrorActionPreference = 'Stop'; "
            f"$root = [IO.Path]::GetFullPath('{ps_quote(root)}').TrimEnd('\\') + '\\'; "
            "$failed = @(Get-CimInstance Win32_Process | Where-Object { $_.ExecutablePath -and "
            "[IO.Path]::GetFullPath($_.ExecutablePath).StartsWith($root, [StringComparison]::OrdinalIgnoreCase) } | "
            "ForEach-Object { try { Stop-Process -Id $_.ProcessId -Force } catch { "
            "if ($_.FullyQualifiedErrorId -notlike 'NoProcessFoundForGivenId,*') { $true } } }); "
            "if ($failed.Count -gt 0) { exit 1 }; exit 0")


def folder_script(name):
    return ("[Console]::OutputEncoding = [Text.UTF8Encoding]::new(); "
            f"[Environment]::GetFolderPath([Environment+SpecialFolder]::{name})")


def cleanup_script(target, ping):
    t, g = target.replace("%", "%%"), ping.replace("%", "%%")
    return ("@echo off\n"
            "setlocal DisableDelayedExpansion\n"
            "set retries=0\n"
            ":retry\n"
            f'del /f /q "{t}" >nul 2>&1\n'
            f'if not exist "{t}" goto deleted\n'
            "set /a retries+=1\n"
            "if %retries% GEQ 30 exit /b 1\n"
            f'"{g}" -n 2 127.0.0.1 >nul\n'
            "goto retry\n"
            ":deleted\n"
            'del /f /q "%~f0" >nul 2>&1\n')


class StandinTest(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.cleanup)

    def ps(self, script):
        return self.sb.run_tool("powershell.exe", *PS_ARGS, script)

    def touch(self, path, text="x"):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def start(self, *parts):
        """A copy of sleep run from the sandbox path `parts`."""
        exe = os.path.join(self.sb.root, *parts)
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        shutil.copy(shutil.which("sleep"), exe)
        p = subprocess.Popen([exe, "60"])
        self.addCleanup(lambda: (p.kill(), p.wait()))
        return p  # Popen returns once the copy runs: the process list shows it at once


class RoleAndLog(StandinTest):
    def test_role_comes_from_the_name_in_any_case(self):
        p = self.sb.run_tool("reg.exe", "query", "HKCU", argv0="Z:\\X\\REG.EXE")
        self.assertEqual(p.returncode, 0)
        p = self.sb.run_tool("reg.exe", "query", "HKCU", argv0="/some/where/notepad.exe")
        self.assertEqual(p.returncode, REFUSED)
        self.assertIn(b"unknown role", p.stderr)

    def test_every_call_is_logged_with_its_arguments(self):
        self.sb.run_tool("reg.exe", "query", "HKCU\\A b", "/reg:32")
        self.sb.run_tool("schtasks.exe", "/Query", "/TN", 'x"y')
        self.assertEqual(self.sb.calls(), [["reg.exe", "query", "HKCU\\A b", "/reg:32"],
                                           ["schtasks.exe", "/Query", "/TN", 'x"y']])


class Registry(StandinTest):
    def add(self, key, name, typ, data, view="/reg:64"):
        return self.sb.run_tool("reg.exe", "add", key, "/v", name, "/t", typ, "/d", data, "/f", view)

    def test_query_layout_views_and_delete(self):
        self.assertEqual(self.sb.reg_query(UNINSTALL), (
            1, "", "ERROR: The system was unable to find the specified registry key or value.\r\n"))
        p = self.add(UNINSTALL, "DisplayName", "REG_SZ", "My App (Canary)")
        self.assertEqual((p.returncode, p.stdout), (0, b"The operation completed successfully.\r\n"))
        self.add(UNINSTALL.replace("HKCU", "HKEY_CURRENT_USER"), "NoModify", "REG_DWORD", "1")
        self.add(UNINSTALL, "displayname", "REG_SZ", "Renamed")  # names ignore case
        code, out, _ = self.sb.reg_query(UNINSTALL.upper())
        self.assertEqual(code, 0)
        self.assertEqual(out, "\r\nHKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                              "Uninstall\\app.stable\r\n"
                              "    DisplayName    REG_SZ    Renamed\r\n"
                              "    NoModify    REG_DWORD    0x1\r\n\r\n")
        self.assertIsNone(self.sb.reg_values(UNINSTALL, view=32))
        self.assertEqual(self.sb.reg_values(UNINSTALL.rsplit("\\", 1)[0]), {})
        p = self.sb.run_tool("reg.exe", "delete", UNINSTALL.rsplit("\\", 1)[0], "/f", "/reg:64")
        self.assertEqual(p.returncode, 0)
        self.assertIsNone(self.sb.reg_values(UNINSTALL))  # subkeys go with their parent
        p = self.sb.run_tool("reg.exe", "delete", UNINSTALL, "/f", "/reg:64")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"unable to find", p.stderr)

    def test_values_with_odd_bytes_survive(self):
        data = 'tab\there %LOCALAPPDATA% "q"\u2019 \\'
        self.add(UNINSTALL, "DisplayIcon", "REG_SZ", data)
        self.assertEqual(self.sb.reg_values(UNINSTALL)["DisplayIcon"], ("REG_SZ", data))

    def test_malformed_calls_are_refused(self):
        for args in (["add", UNINSTALL, "/v", "X", "/t", "REG_SZ", "/d", "y"],  # no /f
                     ["add", "HKLM\\Software\\X", "/v", "X", "/d", "y", "/f"],
                     ["add", UNINSTALL, "/v", "X", "/t", "REG_BINARY", "/d", "00", "/f"],
                     ["query", UNINSTALL, "/s"],
                     ["query", UNINSTALL + "\\\\x"],
                     ["delete", UNINSTALL, "/reg:64"],
                     ["import", "x.reg"]):
            self.assertEqual(self.sb.run_tool("reg.exe", *args).returncode, REFUSED, args)
        self.assertEqual(self.add(UNINSTALL, "N", "REG_DWORD", "12x").returncode, 1)

    def test_parallel_writers_lose_nothing(self):
        procs = [subprocess.Popen([self.sb.tool("reg.exe"), "add", UNINSTALL, "/v", "V%d" % i,
                                   "/t", "REG_SZ", "/d", str(i), "/f"], env=self.sb.env,
                                  stdout=subprocess.DEVNULL) for i in range(24)]
        self.assertEqual([p.wait() for p in procs], [0] * 24)
        self.assertEqual(len(self.sb.reg_values(UNINSTALL)), 24)
        self.assertEqual(len(self.sb.calls("reg.exe")), 25)


class Faults(StandinTest):
    def test_rules_match_arguments_count_down_and_set_the_status(self):
        self.sb.add_fault("reg.exe", "add", "*", "/v", "DisplayIcon", "*", exit_code=5, times=2)
        self.sb.add_fault("SCHTASKS.EXE", "/delete", "*")
        add = ("add", UNINSTALL, "/v", "DisplayIcon", "/t", "REG_SZ", "/d", "a b", "/f")
        self.assertEqual([self.sb.run_tool("reg.exe", *add).returncode for _ in range(3)], [5, 5, 0])
        self.assertEqual(self.sb.reg_values(UNINSTALL), {"DisplayIcon": ("REG_SZ", "a b")})
        self.sb.create_task("T")
        self.assertEqual(self.sb.schtasks("/Delete", "/TN", "T", "/F").returncode, 1)
        self.assertTrue(self.sb.task_exists("T"))

    def test_a_malformed_rules_file_is_refused(self):
        self.sb.add_fault("reg.exe", "*", exit_code=0)
        self.assertEqual(self.sb.run_tool("reg.exe", "query", "HKCU").returncode, REFUSED)
        self.sb.clear_faults()
        self.sb.add_fault("reg.exe", "*", exited=True)
        self.assertEqual(self.sb.run_tool("reg.exe", "query", "HKCU").returncode, REFUSED)


class Schtasks(StandinTest):
    def test_create_query_end_delete(self):
        name = "TamberlockUpdate_0123456789abcdef01234567"
        p = self.sb.schtasks("/query", "/tn", name)
        self.assertEqual((p.returncode, p.stderr), (1, b"ERROR: The system cannot find the file specified.\r\n"))
        self.sb.create_task(name)
        self.assertEqual(self.sb.schtasks("/QUERY", "/Tn", "\\" + name.upper()).returncode, 0)
        self.assertEqual(self.sb.schtasks("/end", "/tn", name).returncode, 0)
        self.assertEqual(self.sb.schtasks("/Delete", "/TN", name, "/F").returncode, 0)
        self.assertFalse(self.sb.task_exists(name))
        self.assertEqual(self.sb.schtasks("/delete", "/tn", name, "/f").returncode, 1)

    def test_malformed_calls_are_refused(self):
        self.sb.create_task("T")
        for args in (["/delete", "/tn", "T"], ["/query"], ["/run", "/tn", "T"], ["/query", "/tn", "T", "/v"]):
            self.assertEqual(self.sb.schtasks(*args).returncode, REFUSED, args)
        self.assertTrue(self.sb.task_exists("T"))


class PowerShellShortcuts(StandinTest):
    def setUp(self):
        super().setUp()
        self.bin = to_win(os.path.join(self.sb.local_app_data, "Acme", "stable", "app", "bin"))
        self.launcher = self.bin + "\\launcher.exe"

    def create(self, host_link, target=None, quote=ps_quote):
        return self.ps(create_script(to_win(host_link), target or self.launcher, self.bin,
                                     self.launcher, quote=quote))

    def test_folder_queries_answer_like_the_real_one(self):
        self.assertEqual(self.ps(folder_script("DesktopDirectory")).stdout,
                         (to_win(self.sb.desktop) + "\r\n").encode())
        self.assertEqual(self.ps(folder_script("Programs")).stdout,
                         (to_win(self.sb.start_menu_programs) + "\r\n").encode())
        self.sb.set_shell_folder("DesktopDirectory", "Desktop")
        self.assertEqual(self.ps(folder_script("DesktopDirectory")).stdout, b"Desktop\r\n")
        self.assertEqual(self.ps(folder_script("Personal")).returncode, REFUSED)

    def test_create_writes_and_rewrites_a_shortcut(self):
        link = os.path.join(self.sb.desktop, "My App.lnk")
        self.assertEqual(self.create(link).returncode, 0)
        self.assertEqual(self.sb.read_shortcut(link), {
            "TargetPath": self.launcher, "Arguments": "", "WorkingDirectory": self.bin,
            "IconLocation": self.launcher, "WindowStyle": "1", "Description": "", "Hotkey": ""})
        self.sb.write_shortcut(link, "Z:\\old.exe", window_style=7, Description="kept")
        self.assertEqual(self.create(link).returncode, 0)
        sc = self.sb.read_shortcut(link)
        self.assertEqual((sc["TargetPath"], sc["WindowStyle"], sc["Description"]), (self.launcher, "1", "kept"))
        # A link path in other letter case reaches the same file.
        self.assertEqual(self.create(os.path.join(self.sb.desktop.upper(), "MY APP.LNK")).returncode, 0)
        self.assertEqual(os.listdir(self.sb.desktop), ["My App.lnk"])

    def test_create_fails_where_wscript_would(self):
        not_shortcut = self.touch(os.path.join(self.sb.desktop, "Edited.lnk"), "user text\n")
        cases = [os.path.join(self.sb.desktop, "App.txt"), os.path.join(self.sb.root, "missing", "App.lnk"),
                 not_shortcut]
        for link in cases:
            self.assertEqual(self.create(link).returncode, 1, link)
        with open(not_shortcut) as f:
            self.assertEqual(f.read(), "user text\n")

    def test_typographic_apostrophes_are_literal_quotes_when_doubled(self):
        for name, expected in (("Bob\u2019s App.lnk", "Bob\u2019s App.lnk"),
                               ("O'Neil \u2018Q\u201b\u201a.lnk", "O'Neil \u2018Q\u201b\u201a.lnk")):
            self.assertEqual(self.create(os.path.join(self.sb.desktop, name)).returncode, 0, name)
            self.assertTrue(os.path.exists(os.path.join(self.sb.desktop, expected)), name)
        # Two different quote characters in a row are no doubling the system writes.
        mixed = create_script(to_win(self.sb.desktop) + "\\Ann\u2019's.lnk", self.launcher, self.bin, self.launcher,
                              quote=lambda s: s)
        self.assertEqual(self.ps(mixed).returncode, REFUSED)

    def test_undoubled_quotes_never_run(self):
        for quote_char in QUOTES:
            link = os.path.join(self.sb.desktop, "Bob%ss App.lnk" % quote_char)
            p = self.create(link, quote=lambda s: s)
            self.assertEqual(p.returncode, REFUSED, quote_char)
            self.assertIn(b"not one of the system's scripts", p.stderr)
        self.assertEqual(os.listdir(self.sb.desktop), [])

    def test_scripts_that_differ_from_the_templates_are_refused(self):
        link = to_win(os.path.join(self.sb.desktop, "A.lnk"))
        good = create_script(link, self.launcher, self.bin, self.launcher)
        for bad in (good.replace("\n", "\r\n"), good[:-1], good + "\n", good.replace("= 1", "= 3"),
                    good.replace("$Shortcut.Save()\n", ""), " " + good,
                    remove_script(link, self.launcher, link_again=link + "x"),
                    stop_script("Z:\\a\\b") + "\n"):
            self.assertEqual(self.ps(bad).returncode, REFUSED, bad)
        for args in (PS_ARGS[:-1] + (good,), ("-noprofile",) + PS_ARGS[1:] + (good,), PS_ARGS + (good, "x")):
            self.assertEqual(self.sb.run_tool("powershell.exe", *args).returncode, REFUSED, args)
        self.assertEqual(os.listdir(self.sb.desktop), [])

    def test_remove_only_when_the_target_matches(self):
        d = self.sb.desktop
        cases = [  # (stored target, removed)
            ("%LOCALAPPDATA%\\Acme\\stable\\app\\bin\\launcher.exe", True),
            (self.launcher.upper(), True),
            (self.bin + "\\..\\bin\\.\\launcher.exe", True),
            (self.bin.replace("\\", "/") + "/launcher.exe", True),
            ("%UNDEFINED%\\launcher.exe", False),
            (self.bin + "\\other.exe", False),
            ("  ", False),
        ]
        for i, (target, removed) in enumerate(cases):
            link = os.path.join(d, "S%d.lnk" % i)
            self.sb.write_shortcut(link, target)
            p = self.ps(remove_script(to_win(link), self.launcher))
            self.assertEqual(p.returncode, 0, (target, p.stderr))
            self.assertEqual(os.path.exists(link), not removed, target)

    def test_remove_leaves_missing_folders_and_other_files(self):
        folder = os.path.join(self.sb.desktop, "F.lnk")
        os.makedirs(folder)
        for link in (os.path.join(self.sb.desktop, "None.lnk"), folder):
            self.assertEqual(self.ps(remove_script(to_win(link), self.launcher)).returncode, 0)
        edited = self.touch(os.path.join(self.sb.desktop, "Edited.lnk"), "TargetPath=" + self.launcher + "\n")
        self.assertEqual(self.ps(remove_script(to_win(edited), self.launcher)).returncode, 0)
        self.assertTrue(os.path.exists(edited))
        self.assertEqual(self.ps(remove_script("", self.launcher)).returncode, 1)

    def test_precheck_exit_codes(self):
        d = self.sb.desktop
        shortcut = os.path.join(d, "App.lnk")
        self.sb.write_shortcut(shortcut, self.launcher)
        folder = os.path.join(d, "Folder.lnk")
        os.makedirs(folder)
        link = os.path.join(d, "Link.lnk")
        os.symlink(shortcut, link)
        dangling = os.path.join(d, "Dangling.lnk")
        os.symlink(os.path.join(d, "gone"), dangling)
        edited = self.touch(os.path.join(d, "Edited.lnk"), "not a shortcut")
        for path, code in ((os.path.join(d, "Missing.lnk"), 0), (shortcut, 0), (edited, 0), (folder, 2),
                           (link, 2), (dangling, 0)):
            self.assertEqual(self.ps(precheck_script(to_win(path))).returncode, code, path)
        self.assertEqual(self.ps(precheck_script("")).returncode, 1)
        self.assertEqual(sorted(os.listdir(d)), ["App.lnk", "Dangling.lnk", "Edited.lnk", "Folder.lnk", "Link.lnk"])


class PowerShellStop(StandinTest):
    def test_stop_ends_only_processes_run_from_inside_the_folder(self):
        inside = self.start("app", "bin", "launcher.exe")
        deeper = self.start("app", "x", "y", "tool.exe")
        sibling = self.start("app2", "bin", "launcher.exe")
        outside = self.start("uninstall.exe")
        root = to_win(os.path.join(self.sb.root, "app")).upper() + "\\\\"
        self.assertEqual(self.ps(stop_script(root)).returncode, 0)
        self.assertEqual(inside.wait(timeout=10), -9)
        self.assertEqual(deeper.wait(timeout=10), -9)
        self.assertEqual(len(self.sb.calls("Stop-Process")), 2)  # each stop is logged before its kill
        self.assertIsNone(sibling.poll())
        self.assertIsNone(outside.poll())

    def test_stop_refuses_a_folder_that_would_end_everything(self):
        self.assertEqual(self.ps(stop_script("Z:\\")).returncode, REFUSED)
        self.assertEqual(self.ps(stop_script("Z:\\tmp")).returncode, REFUSED)


class PowerShellExitStatus(StandinTest):
    """-Command's exit status: `exit N`, 1 for an error that ends the script,
    else $? of the last statement (false after a caught or suppressed error)."""

    def test_exit_status_of_each_script_in_each_case(self):
        d = self.sb.desktop
        user_file = self.touch(os.path.join(d, "Notes.lnk"), "the user's own notes")
        stopped = self.start("stopped", "bin", "worker")
        self.start("gone", "bin", "worker")
        stays = self.start("stays", "bin", "worker")
        self.sb.add_fault("Stop-Process", "*\\gone\\bin\\worker", exited=True)
        self.sb.add_fault("Stop-Process", "*\\stays\\bin\\worker")

        def root(name):
            return to_win(os.path.join(self.sb.root, name))

        cases = [
            ("pre-check: a user's file, caught and left with exit 0", precheck_script(to_win(user_file)), 0),
            ("remove: a user's file, caught and left with exit 0", remove_script(to_win(user_file), "Z:\\x"), 0),
            ("create: Save fails, the last statement", create_script(to_win(os.path.join(d, "no", "A.lnk")),
                                                                    "Z:\\x", "Z:\\", "Z:\\x"), 1),
            ("stop: a process ended", stop_script(root("stopped")), 0),
            ("stop: a process gone before its stop", stop_script(root("gone")), 0),
            ("stop: a process that could not be stopped", stop_script(root("stays")), 1),
        ]
        for name, script, code in cases:
            p = self.ps(script)
            self.assertEqual(p.returncode, code, (name, p.stderr))
        self.assertEqual(stopped.wait(timeout=10), -9)
        self.assertIsNone(stays.poll())
        self.assertTrue(os.path.exists(user_file))
        stops = [os.path.basename(os.path.dirname(os.path.dirname(c[1].replace("\\", "/"))))
                 for c in self.sb.calls("Stop-Process")]
        self.assertEqual(stops, ["stopped", "gone", "stays"])


class CmdCleanupScript(StandinTest):
    def setUp(self):
        super().setUp()
        self.ping = to_win(self.sb.tool("ping.exe"))

    def write_script(self, text, encoding="utf-8", name="tamberlock-cleanup-1f.cmd"):
        path = os.path.join(self.sb.temp, name)
        with open(path, "wb") as f:
            f.write(text.encode(encoding))
        return path

    def run_cmd(self, script):
        return self.sb.run_tool("cmd.exe", "/d", "/c", to_win(script), cwd=os.path.dirname(script))

    def test_deletes_the_target_then_itself(self):
        for name in ("tamberlock-uninstall-1a.exe", "50%% off & more!.exe", "100%.exe"):
            target = self.touch(os.path.join(self.sb.temp, name))
            script = self.write_script(cleanup_script(to_win(target), self.ping))
            p = self.run_cmd(script)
            self.assertEqual(p.returncode, 0, (name, p.stderr))
            self.assertFalse(os.path.exists(target), name)
            self.assertFalse(os.path.exists(script), name)

    def test_retries_while_the_target_cannot_go(self):
        target = self.touch(os.path.join(self.sb.temp, "tamberlock-uninstall-2b.exe"))
        self.sb.add_fault("del", "*\\tamberlock-uninstall-2b.exe", times=3)
        script = self.write_script(cleanup_script(to_win(target), self.ping))
        self.assertEqual(self.run_cmd(script).returncode, 0)
        self.assertFalse(os.path.exists(target))
        self.assertFalse(os.path.exists(script))
        self.assertEqual([c[1] for c in self.sb.calls("del")], [to_win(target)] * 4 + [to_win(script)])
        self.assertEqual(self.sb.calls("ping.exe"), [["ping.exe", "-n", "2", "127.0.0.1"]] * 3)

    def test_gives_up_after_thirty_attempts_and_stays(self):
        target = self.touch(os.path.join(self.sb.temp, "locked.exe"))
        self.sb.add_fault("del", "*locked.exe")
        script = self.write_script(cleanup_script(to_win(target), self.ping))
        self.assertEqual(self.run_cmd(script).returncode, 1)
        self.assertTrue(os.path.exists(target) and os.path.exists(script))
        self.assertEqual(len(self.sb.calls("del")), 30)
        self.assertEqual(len(self.sb.calls("ping.exe")), 29)

    def test_a_running_executable_stays_and_the_errorlevel_with_it(self):
        running = self.start("Users", "me", "AppData", "Local", "Temp", "running.exe")
        target = to_win(os.path.join(self.sb.temp, "running.exe"))
        script = self.write_script('@echo off\ndel /f /q "%s"\nexit /b\n' % target)
        p = self.run_cmd(script)
        self.assertEqual((p.returncode, p.stderr), (0, target.encode() + b"\r\nAccess is denied.\r\n"))
        self.assertTrue(os.path.exists(to_host(target)))
        # Once the process has ended the file goes.
        running.kill()
        running.wait()
        self.assertEqual(self.run_cmd(script).returncode, 0)
        self.assertFalse(os.path.exists(to_host(target)))

    def test_a_folder_without_write_permission_keeps_the_target(self):
        folder = os.path.join(self.sb.temp, "ro")
        target = self.touch(os.path.join(folder, "copy.exe"))
        script = self.write_script(cleanup_script(to_win(target), self.ping))
        os.chmod(folder, 0o555)
        self.addCleanup(os.chmod, folder, 0o755)
        self.assertEqual(self.run_cmd(script).returncode, 1)
        self.assertTrue(os.path.exists(target))

    def test_script_is_read_in_code_page_437(self):
        folder = os.path.join(self.sb.temp, "Zo\u00eb")
        target = self.touch(os.path.join(folder, "copy.exe"))
        # Written as UTF-8, the name reads as "Zo├½": the target is never found,
        # so the script removes only itself.
        script = self.write_script(cleanup_script(to_win(target), self.ping), name="a.cmd")
        self.assertEqual(self.run_cmd(script).returncode, 0)
        self.assertTrue(os.path.exists(target))
        self.assertFalse(os.path.exists(script))
        self.assertEqual(self.sb.calls("del")[0], ["del", to_win(self.sb.temp) + "\\Zo\u251c\u00bd\\copy.exe"])
        # Written in the OEM code page it names the real file.
        script = self.write_script(cleanup_script(to_win(target), self.ping), encoding="cp437", name="b.cmd")
        self.assertEqual(self.run_cmd(script).returncode, 0)
        self.assertFalse(os.path.exists(target))
        self.assertFalse(os.path.exists(script))

    def test_script_relative_and_environment_references(self):
        target = self.touch(os.path.join(self.sb.temp, "t.exe"))
        text = cleanup_script("%~dp0t.exe", "%SystemRoot%\\System32\\ping.exe").replace("%%", "%")
        script = self.write_script(text)
        self.assertEqual(self.run_cmd(script).returncode, 0)
        self.assertFalse(os.path.exists(target) or os.path.exists(script))

    def test_a_folder_on_a_share_is_no_working_folder(self):
        # The clean-up script as the system writes it, beside its target in a
        # temporary folder on a share.
        share = os.path.join(self.sb.root, "server-share")
        self.sb.add_share("\\\\server\\share", share)
        folder = os.path.join(share, "Temp")
        target = self.touch(os.path.join(folder, "tamberlock-uninstall-1a.exe"))
        script = os.path.join(folder, "tamberlock-cleanup-2b.cmd")
        with open(script, "w") as f:
            f.write(cleanup_script("%~dp0tamberlock-uninstall-1a.exe", self.ping).replace("%%~dp0", "%~dp0"))
        # Named relative to the working folder, it is looked for in the
        # Windows folder instead.
        p = self.sb.run_tool("cmd.exe", "/d", "/c", ".\\tamberlock-cleanup-2b.cmd", cwd=folder)
        self.assertEqual(p.returncode, 1)
        self.assertTrue(p.stderr.startswith(b"'\\\\server\\share\\Temp'\r\nCMD.EXE was started with the above path "
                                            b"as the current directory.\r\nUNC paths are not supported."), p.stderr)
        self.assertTrue(os.path.exists(target) and os.path.exists(script))
        # Named by its full path it runs, and its own folder is the share's.
        p = self.sb.run_tool("cmd.exe", "/d", "/c", "\\\\server\\share\\Temp\\tamberlock-cleanup-2b.cmd", cwd=folder)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertFalse(os.path.exists(target) or os.path.exists(script))
        self.assertEqual([c[1] for c in self.sb.calls("del")],
                         ["\\\\server\\share\\Temp\\tamberlock-uninstall-1a.exe",
                          "\\\\server\\share\\Temp\\tamberlock-cleanup-2b.cmd"])
        # Other shares name nothing.
        p = self.sb.run_tool("cmd.exe", "/d", "/c", "\\\\server\\other\\Temp\\x.cmd", cwd=self.sb.temp)
        self.assertEqual(p.returncode, 1)

    def test_constructs_outside_the_script_are_refused(self):
        target = self.touch(os.path.join(self.sb.temp, "keep.exe"))
        good = cleanup_script(to_win(target), self.ping)
        for bad in (good.replace("@echo off", "echo hello"),
                    good.replace("del /f /q", "del /q"),
                    good.replace(">nul 2>&1", ">log.txt"),
                    good.replace("goto retry", "goto retry & echo x"),
                    good.replace("set /a retries+=1", "set /a retries*=2"),
                    good.replace("%retries%", "%1"),
                    good.replace(" -n 2 ", " -n 3 "),
                    good.replace("keep.exe", "*.exe"),
                    good.replace("goto deleted", "goto nowhere"),
                    "@echo off\n:a\ngoto a\n"):
            script = self.write_script(bad)
            p = self.run_cmd(script)
            self.assertEqual(p.returncode, REFUSED, (bad, p.stderr))
        # Lines are checked before any runs, so even those only a failing
        # deletion reaches: the target is still there.
        self.assertTrue(os.path.exists(target))
        script = self.write_script(good)
        for args in (["/c", to_win(script)], ["/d", "/c", to_win(target)]):
            self.assertEqual(self.sb.run_tool("cmd.exe", *args).returncode, REFUSED, args)
        # A script path that cmd.exe /c would split or expand.
        for folder in ("A&B", "Work (1)", "100%", "a,b", "a;b", "a=b"):
            os.makedirs(os.path.join(self.sb.temp, folder))
            script = self.write_script(good, name=os.path.join(folder, "c.cmd"))
            self.assertEqual(self.run_cmd(script).returncode, REFUSED, folder)


class Ping(StandinTest):
    def replies(self, p):
        return p.stdout.count(b"Reply from 127.0.0.1")

    def test_pause_and_strictness(self):
        # What is timed is only ever far off: a pause of none or of an hour.
        self.sb.set_ping_ms(0)
        p = self.sb.run_tool("ping.exe", "-n", "1000", "127.0.0.1")
        self.assertEqual((p.returncode, self.replies(p)), (0, 1000))
        self.sb.set_ping_ms(3600 * 1000)
        p = self.sb.run_tool("ping.exe", "-n", "1", "127.0.0.1")
        self.assertEqual((p.returncode, self.replies(p)), (0, 1))
        env = dict(self.sb.env, TAMBERLOCK_STANDIN_PING_MS="0")
        p = self.sb.run_tool("ping.exe", "-n", "3", "localhost", env=env)
        self.assertEqual((p.returncode, self.replies(p)), (0, 3))
        # The pause lies between two echo requests: the first reply is out,
        # the second waits.
        tool = self.sb.tool("ping.exe")
        p = subprocess.Popen([to_win(tool), "-n", "2", "127.0.0.1"], executable=tool, env=self.sb.env,
                             stdout=subprocess.PIPE)
        self.addCleanup(lambda: (p.kill(), p.wait(), p.stdout.close()))
        line = b" "
        while line and not line.startswith(b"Reply from"):
            line = p.stdout.readline()
        self.assertTrue(line.startswith(b"Reply from"), line)
        self.assertIsNone(p.poll())
        for args in (["-n", "2", "10.0.0.1"], ["127.0.0.1"], ["-n", "x", "127.0.0.1"]):
            self.assertEqual(self.sb.run_tool("ping.exe", *args).returncode, REFUSED, args)


if __name__ == "__main__":
    unittest.main()
