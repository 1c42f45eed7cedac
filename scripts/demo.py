"""The demo that scripts/demo.sh runs once build/setup is built: a sample
application packed as two self-extracting installers, installed one after the
other into a miniature Windows sandbox, looked at, updated (two newer
versions prepared from a loopback server: one by patch, one in full because
its patch is withheld, and the latter applied by the update helper in the
temporary folder), and uninstalled quietly.

Each step is a method of Demo; main() lists them in order.
"""
import functools
import hashlib
import http.server
import json
import os
import shutil
import subprocess
import sys
import threading
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
import demo_app  # noqa: E402
from sandbox import Sandbox, to_win  # noqa: E402

BUILD_DIR = os.environ.get("TL_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
SETUP = os.path.join(BUILD_DIR, "setup")
MAKE_PATCH = os.path.join(BUILD_DIR, "make_patch")


def heading(text):
    print("\n\033[1m== %s ==\033[0m" % text if sys.stdout.isatty() else "\n== %s ==" % text, flush=True)


def quoted(text, shorten=None):
    if not text:
        print("  (nothing)")
    for line in text.splitlines():
        if shorten and line.startswith(shorten) and len(line) > 100:
            line = line[:100] + "... (shortened here)"
        print("  | " + line)


class QuietFiles(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Demo:
    def __init__(self):
        self.sb = Sandbox(build_dir=BUILD_DIR, prefix="tl-demo-")
        self.launcher_log = os.path.join(self.sb.root, "launcher-output.txt")
        self.channel = os.path.join(self.sb.local_app_data, demo_app.APP_ID, demo_app.CHANNEL)
        # The update server: a loopback HTTP server over a folder.
        self.served = os.path.join(self.sb.root, "update-server")
        os.makedirs(self.served)
        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(QuietFiles, directory=self.served))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.base_url = "http://127.0.0.1:%d/demo" % server.server_address[1]
        self.served = os.path.join(self.served, "demo")
        self.prepared = None  # the version the last preparation left ready

    def run(self, argv, what, ui_log=None, **extra_env):
        """Runs a program of the sandbox and shows its standard error and exit code."""
        env = dict(self.sb.env, **extra_env)
        if ui_log:
            env["TAMBERLOCK_POSIX_UI_LOG"] = ui_log
        p = subprocess.run(argv, env=env, cwd=os.path.dirname(argv[0]), capture_output=True, text=True,
                           timeout=300)
        print("standard error of the %s:" % what)
        quoted(p.stderr, shorten="DEBUG: Raw metadata as hex")
        print("exit code: %d" % p.returncode)
        return p.returncode

    def make_installers(self):
        heading("Sample application")
        self.side, self.appended = demo_app.make_installers(self.sb.root, SETUP, self.launcher_log, self.base_url)
        packaging = os.path.join(self.sb.root, "packaging")
        demo_app.show_tree(os.path.join(packaging, demo_app.SIDE_VERSION))
        archives = []
        for version in (demo_app.SIDE_VERSION, demo_app.APPENDED_VERSION):
            archive = os.path.join(packaging, version, "DemoApp.tar.zst")
            archives.append("%s (%d bytes)" % (os.path.relpath(archive, self.sb.root), os.path.getsize(archive)))
        print("archives: " + ", ".join(archives))
        heading("Installers")
        demo_app.show_tree(os.path.join(self.sb.root, "Downloads"))

    def install(self, exe, what):
        heading("Installing with %s" % os.path.relpath(exe, self.sb.root))
        ui_log = os.path.join(self.sb.root, "progress-window-%s.log" % what)
        code = self.run([exe], "installer", ui_log=ui_log, TAMBERLOCK_INSTALLER_UI_AUTOCLOSE="1")
        print("progress window (headless dialog log):")
        with open(ui_log) as f:
            quoted(f.read())
        if code != 0:
            sys.exit("the installation failed")

    def show_installation(self):
        heading("Installed tree: " + to_win(self.channel))
        demo_app.show_tree(self.channel)

        heading("Recipe (self-extraction); literal tar bytes shortened")
        recipe_dir = os.path.join(self.channel, "self-extraction")
        for name in sorted(os.listdir(recipe_dir)):
            with open(os.path.join(recipe_dir, name)) as f:
                recipe = json.load(f)
            for span in recipe["spans"]:
                if span.get("literal_hex") and len(span["literal_hex"]) > 24:
                    span["literal_hex"] = span["literal_hex"][:24] + "...(%d bytes)" % (len(span["literal_hex"]) // 2)
            print(name + ":")
            print(json.dumps(recipe, indent=1))

        heading("Shortcuts")
        for folder in (self.sb.desktop, self.sb.start_menu_programs):
            for name in sorted(os.listdir(folder)):
                print(to_win(os.path.join(folder, name)) + ":")
                with open(os.path.join(folder, name)) as f:
                    for line in f:
                        print("  " + line.rstrip("\n"))

        self.show_registry_entry()

        heading("Launcher output")
        for _ in range(200):
            if os.path.exists(self.launcher_log):
                with open(self.launcher_log) as f:
                    if len(f.read().splitlines()) >= 2:
                        break
            time.sleep(0.05)
        with open(self.launcher_log) as f:
            print(f.read().rstrip("\n"))

    def show_registry_entry(self):
        heading("reg.exe query " + demo_app.UNINSTALL_KEY)
        code, out, err = self.sb.reg_query(demo_app.UNINSTALL_KEY)
        print(out.replace("\r\n", "\n").rstrip("\n") or err.rstrip("\n"))
        print("exit code: %d" % code)

    def prepare_update(self, version, withhold_patch=False):
        """Publishes `version` (full archive and patch from the installed
        version), writes the request as the installed application's updater
        does, and runs --prepare-update."""
        installed = demo_app.APPENDED_VERSION
        heading("Publishing %s at %s" % (version, self.base_url))
        artifact, tar = demo_app.publish_update(self.sb.root, version, SETUP, self.launcher_log, self.base_url,
                                                self.served, installed, MAKE_PATCH)
        patch = "%s-win-x64-%s.patch" % (demo_app.CHANNEL, demo_app.build_hash(installed))
        if withhold_patch:
            os.unlink(os.path.join(self.served, patch))
        for name in sorted(os.listdir(self.served)):
            print("  %s (%d bytes)" % (name, os.path.getsize(os.path.join(self.served, name))))
        transaction = os.urandom(16).hex()
        with open(tar, "rb") as f:
            tar_bytes = f.read()
        request = {
            "schema_version": 1, "transaction_id": transaction, "identifier": demo_app.APP_ID,
            "channel": demo_app.CHANNEL, "version": version, "hash": demo_app.build_hash(version),
            "platform": "win", "arch": "x64", "base_url": self.base_url,
            "base_hash": demo_app.build_hash(installed),
            "tar_sha256": hashlib.sha256(tar_bytes).hexdigest(), "tar_size": len(tar_bytes),
            "channel_root": to_win(self.channel), "artifact_file": artifact,
            "app_bundle_path": to_win(os.path.join(self.channel, "app")),
        }
        request_path = os.path.join(self.channel, ".tamberlock-prepare-%s.json" % transaction)
        with open(request_path, "w") as f:
            json.dump(request, f)
        manager = os.path.join(self.channel, "uninstall.exe")
        heading("Preparing %s%s" % (version, " (patch withheld)" if withhold_patch else ""))
        print("%s --prepare-update %s --quiet" % (to_win(manager), to_win(request_path)))
        if self.run([manager, "--prepare-update", to_win(request_path), "--quiet"], "preparation") != 0:
            sys.exit("the preparation failed")
        os.unlink(request_path)  # the updater's file, done with
        self.prepared = version

    def show_prepared_update(self, tree=True):
        heading("Prepared update beside the installed application")
        for name in sorted(os.listdir(self.channel)):
            print("  " + name)
        if tree:
            prepared = "app.prepared-" + demo_app.build_hash(self.prepared)
            print(prepared + ":")
            demo_app.show_tree(os.path.join(self.channel, prepared), "  ")
        heading("Prepared-update record (self-extraction)")
        with open(os.path.join(self.channel, "self-extraction", ".tamberlock-prepared-update.json")) as f:
            print(json.dumps(json.load(f), indent=1))

    def apply_update(self):
        """Plays the running application and its updater: the application
        runs, the updater writes the plan, copies setup into the temporary
        folder as the update helper, registers its task and starts it; the
        application then ends, and the helper swaps the prepared version in."""
        version = self.prepared
        bundle = os.path.join(self.channel, "app")
        heading("Applying %s" % version)
        running = subprocess.Popen(["sh", "-c", '"$0" >/dev/null; sleep 1', os.path.join(bundle, "bin", "launcher.exe")],
                                   env=self.sb.env)
        print("the running application: process %d (ends in a second)" % running.pid)
        transaction = os.urandom(16).hex()
        selfx = os.path.join(self.channel, "self-extraction")
        recipe = os.path.join(selfx, demo_app.build_hash(version) + ".recipe.json")
        with open(recipe, "rb") as f:
            recipe_sha256 = hashlib.sha256(f.read()).hexdigest()
        result = os.path.join(self.channel, ".tamberlock-update-%s.result.json" % transaction)
        plan = {
            "schema_version": 2, "transaction_id": transaction, "identifier": demo_app.APP_ID,
            "channel": demo_app.CHANNEL, "platform": "win", "arch": "x64", "version": version,
            "hash": demo_app.build_hash(version), "app_bundle_path": to_win(bundle),
            "channel_root": to_win(self.channel), "parent_pid": running.pid, "result_path": to_win(result),
            "staging_path": to_win(bundle + ".prepared-" + demo_app.build_hash(version)),
            "recipe_path": to_win(recipe), "recipe_sha256": recipe_sha256,
        }
        plan_path = os.path.join(self.channel, ".tamberlock-update-%s.json" % transaction)
        with open(plan_path, "w") as f:
            json.dump(plan, f)
        helper = os.path.join(self.sb.temp, "tamberlock-update-%s.exe" % transaction)
        shutil.copy(SETUP, helper)
        task = "ApplicationUpdate_" + transaction
        self.sb.create_task(task, to_win(helper))
        print("%s --apply-update %s --quiet" % (to_win(helper), to_win(plan_path)))
        code = self.run([helper, "--apply-update", to_win(plan_path), "--quiet"], "update helper")
        running.wait()
        if code != 0:
            sys.exit("the update failed")

        heading("Swapped application")
        with open(os.path.join(bundle, "Resources", "version.json")) as f:
            print("app\\Resources\\version.json: " + f.read())
        for name in sorted(os.listdir(self.channel)):
            print("  " + name)
        heading("Result file " + os.path.basename(result))
        with open(result) as f:
            print(f.read())
        os.unlink(result)  # the updater's to read and remove
        heading("Launcher output (the last line is the relaunch, without a window)")
        deadline = time.time() + 10
        while time.time() < deadline and not self.launcher_output().endswith(version + " started as %s\n" % to_win(
                os.path.join(bundle, "bin", "launcher.exe"))):
            time.sleep(0.05)
        print(self.launcher_output().rstrip("\n"))
        while any(n.startswith("tamberlock-") for n in os.listdir(self.sb.temp)) and time.time() < deadline:
            time.sleep(0.05)
        print("temporary folder: " + (", ".join(sorted(os.listdir(self.sb.temp))) or "empty"))
        print("task %s: %s" % (task, "still there" if self.sb.task_exists(task) else "deleted"))

    def launcher_output(self):
        with open(self.launcher_log) as f:
            return f.read()

    def uninstall_quietly(self):
        manager = os.path.join(self.channel, "uninstall.exe")
        heading("Uninstalling: %s --uninstall --quiet" % to_win(manager))
        if self.run([manager, "--uninstall", "--quiet"], "uninstall manager") != 0:
            sys.exit("the uninstall failed")
        # The last steps run on in a copy in the temporary folder, which
        # finally has itself deleted by a script: wait for both to go.
        print("waiting for the clean-up copy and its script in %s ..." % to_win(self.sb.temp))
        deadline = time.time() + 60
        while any(n.startswith("tamberlock-") for n in os.listdir(self.sb.temp)) and time.time() < deadline:
            time.sleep(0.05)
        left = sorted(os.listdir(self.sb.temp))
        print("temporary folder: " + (", ".join(left) if left else "empty"))

    def show_leftovers(self):
        heading("What is left: " + to_win(self.sb.profile))
        demo_app.show_tree(self.sb.profile)
        self.show_registry_entry()


def main():
    demo = Demo()
    demo.make_installers()
    demo.install(demo.side, "side-files")
    demo.install(demo.appended, "appended")
    demo.show_installation()
    demo.prepare_update("2.0.0")
    demo.show_prepared_update()
    # A newer version supersedes the one prepared: the road falls back to the
    # full archive, and 2.0.0's prepared folder, recipe and record go.
    demo.prepare_update("2.1.0", withhold_patch=True)
    demo.show_prepared_update(tree=False)
    demo.apply_update()
    demo.uninstall_quietly()
    demo.show_leftovers()
    print("\nThe sandbox stays for a look: %s (remove it with rm -rf)" % demo.sb.root)


if __name__ == "__main__":
    main()
