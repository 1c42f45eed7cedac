"""End-to-end: build/setup --prepare-update <request> --quiet in a sandbox.

Version 1 of a small application is installed by the installer road itself
(an appended installer); newer versions are served by a loopback HTTP server
that logs every request, as a full archive (stable-win-x64-<k>.tar.zst) and
as patches (stable-win-x64-h<from>.patch, made by build/make_patch). The
request is written as the installed application's updater writes it.
"""
import fcntl
import hashlib
import http.server
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox  # noqa: E402
from sandbox import Sandbox, to_win  # noqa: E402

SETUP = os.path.join(sandbox.BUILD_DIR, "setup")
MAKE_PATCH = os.path.join(sandbox.BUILD_DIR, "make_patch")
APP_ID = "com.example.demo"
FALLBACK = "Delta preparation unavailable (%s); streaming the full update.\n"
with open(SETUP, "rb") as _f:
    MANAGER = _f.read()


def zstd(data):
    return subprocess.run(["zstd", "-q", "-c", "-3"], input=data, stdout=subprocess.PIPE, check=True).stdout


class UpdateServer:
    """Files at /u/<name> (the query is ignored); names in `loops` redirect
    to themselves; a name in `stalls` sends that many bytes, then waits for
    `release`. Every request's file name goes to `log`."""

    def __init__(self):
        self.files, self.loops, self.stalls, self.log = {}, set(), {}, []
        self.release = threading.Event()
        self.lock = threading.Lock()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                name = self.path.partition("?")[0].rpartition("/")[2]
                with outer.lock:
                    outer.log.append(name)
                if name in outer.loops:
                    self.send_response(302)
                    self.send_header("Location", self.path)
                    self.send_header("Content-Length", "0")
                    self.send_header("Connection", "close")
                    self.end_headers()
                    return
                data = outer.files.get(name)
                self.send_response(200 if data is not None else 404)
                self.send_header("Content-Length", str(len(data) if data is not None else 0))
                self.send_header("Connection", "close")
                self.end_headers()
                if data is None:
                    return
                cut = outer.stalls.get(name, len(data))
                try:
                    self.wfile.write(data[:cut])
                    self.wfile.flush()
                    if cut < len(data):
                        outer.release.wait(60)
                        self.wfile.write(data[cut:])
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.base_url = "http://127.0.0.1:%d/u" % self.server.server_address[1]

    def close(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()

    def reset(self):
        with self.lock:
            self.files, self.loops, self.stalls, self.log = {}, set(), {}, []
        self.release.clear()


class PrepareTest(unittest.TestCase):
    """Each test: version 1 installed, a server with nothing on it."""

    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.cleanup)
        self.server = UpdateServer()
        self.addCleanup(self.server.close)
        self.channel = os.path.join(self.sb.local_app_data, APP_ID, "stable")
        self.selfx = os.path.join(self.channel, "self-extraction")
        self.tars = {}
        self.install(1)
        self.transaction = 0

    # -- versions and their archives
    def tar(self, k):
        """Version k (build hk, version "k.0"): deterministic bytes."""
        if k in self.tars:
            return self.tars[k]
        seed = hashlib.sha256(b"data").digest()
        data_size = 96 * 1024
        data = bytearray((seed * (data_size // 32 + 1))[:data_size])
        for i in range(8):
            data[(k * 977 + i * 4099) % data_size] ^= k & 0xFF
        version_json = json.dumps({"identifier": APP_ID, "name": "Demo App", "channel": "stable",
                                   "version": "%d.0" % k, "hash": "h%d" % k,
                                   "baseUrl": self.server.base_url}).encode()
        entries = [("DemoApp", None), ("DemoApp/bin", None), ("DemoApp/bin/launcher.exe", b"#!/bin/sh\n"),
                   ("DemoApp/Resources", None), ("DemoApp/Resources/uninstall", MANAGER),
                   ("DemoApp/Resources/version.json", version_json),
                   ("DemoApp/Resources/data.bin", bytes(data))]
        out = io.BytesIO()
        with tarfile.open(fileobj=out, mode="w", format=tarfile.PAX_FORMAT) as t:
            for name, body in entries:
                info = tarfile.TarInfo(name)
                info.mtime = 1700000000
                if body is None:
                    info.type, info.mode = tarfile.DIRTYPE, 0o755
                    t.addfile(info)
                else:
                    info.size, info.mode = len(body), 0o755
                    t.addfile(info, io.BytesIO(body))
        self.tars[k] = out.getvalue()
        return self.tars[k]

    def install(self, k):
        exe = os.path.join(self.sb.root, "Setup.exe")
        meta = json.dumps({"identifier": APP_ID, "name": "Demo App", "channel": "stable", "hash": "h%d" % k})
        with open(exe, "wb") as f:
            f.write(MANAGER + b"TAMBERLOCK_METADATA_V1" + meta.encode() + b"TAMBERLOCK_ARCHIVE_V1" +
                    zstd(self.tar(k)))
        os.chmod(exe, 0o755)
        env = dict(self.sb.env, TAMBERLOCK_POSIX_UI_LOG=os.path.join(self.sb.root, "ui.log"),
                   TAMBERLOCK_INSTALLER_UI_AUTOCLOSE="1")
        p = subprocess.run([exe], env=env, capture_output=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)

    def patch(self, old, new):
        folder = os.path.join(self.sb.root, "patches")
        os.makedirs(folder, exist_ok=True)
        paths = [os.path.join(folder, n) for n in ("old", "new", "out")]
        for path, data in zip(paths, (old, new)):
            with open(path, "wb") as f:
                f.write(data)
        subprocess.run([MAKE_PATCH] + paths, check=True, stdout=subprocess.DEVNULL)
        with open(paths[2], "rb") as f:
            return f.read()

    def serve_full(self, k, data=None):
        self.server.files["stable-win-x64-%d.tar.zst" % k] = data if data is not None else zstd(self.tar(k))

    def serve_patch(self, a, b, data=None):
        self.server.files["stable-win-x64-h%d.patch" % a] = (
            data if data is not None else self.patch(self.tar(a), self.tar(b)))

    # -- requests and runs
    def request(self, k, **over):
        """Writes a request for version k and returns its Windows path."""
        self.transaction += 1
        tid = "%032x" % (0xabc0000 + self.transaction)
        r = {"schema_version": 1, "transaction_id": tid, "identifier": APP_ID, "channel": "stable",
             "version": "%d.0" % k, "hash": "h%d" % k, "platform": "win", "arch": "x64",
             "base_url": self.server.base_url, "base_hash": "h1",
             "tar_sha256": hashlib.sha256(self.tar(k)).hexdigest(), "tar_size": len(self.tar(k)),
             "channel_root": to_win(self.channel), "artifact_file": "stable-win-x64-%d.tar.zst" % k,
             "app_bundle_path": to_win(os.path.join(self.channel, "app"))}
        r.update(over)
        r = {key: value for key, value in r.items() if value is not Ellipsis}
        path = os.path.join(self.channel, ".tamberlock-prepare-%s.json" % tid)
        with open(path, "w") as f:
            json.dump(r, f)
        return to_win(path)

    def prepare(self, request, env=None, wait=True):
        argv = [SETUP, "--prepare-update", request, "--quiet"]
        if not wait:
            return subprocess.Popen(argv, env=env or self.sb.env, stderr=subprocess.PIPE)
        p = subprocess.run(argv, env=env or self.sb.env, capture_output=True, timeout=300)
        return p.returncode, p.stderr.decode("utf-8", "replace")

    # -- what a run left
    def names(self, folder=None):
        return sorted(os.listdir(folder or self.channel))

    def stages(self):
        return [n for n in self.names() if n.startswith("app.prepare-")]

    def prepared(self):
        return [n for n in self.names() if n.startswith("app.prepared-")]

    def record(self):
        path = os.path.join(self.selfx, ".tamberlock-prepared-update.json")
        if not os.path.exists(path):
            return None
        with open(path) as f:
            return json.load(f)

    def assertPrepared(self, k):
        """Version k prepared: its folder holds what its archive holds, its
        recipe and record are there, no stage and no patch file is left."""
        self.assertEqual(self.prepared(), ["app.prepared-h%d" % k])
        self.assertEqual(self.stages(), [])
        root = os.path.join(self.channel, "app.prepared-h%d" % k, "DemoApp")
        with tarfile.open(fileobj=io.BytesIO(self.tar(k))) as t:
            for member in t.getmembers():
                if member.isfile():
                    with open(os.path.join(root, "..", member.name), "rb") as f:
                        self.assertEqual(f.read(), t.extractfile(member).read(), member.name)
        rec = self.record()
        self.assertEqual((rec["hash"], rec["version"], rec["schema_version"]), ("h%d" % k, "%d.0" % k, 2))
        with open(os.path.join(self.selfx, "h%d.recipe.json" % k), "rb") as f:
            self.assertEqual(rec["recipe_sha256"], hashlib.sha256(f.read()).hexdigest())
        self.assertEqual([n for n in self.names(self.selfx) if n.startswith(".patch-")], [])


class DeltaAndFallback(PrepareTest):
    def test_patch_chains(self):
        for chain in ([(1, 2)], [(1, 3), (3, 4), (4, 5)]):
            with self.subTest(chain=chain):
                self.server.reset()
                for a, b in chain:
                    self.serve_patch(a, b)
                target = chain[-1][1]
                code, err = self.prepare(self.request(target))
                self.assertEqual((code, err), (0, ""))
                self.assertPrepared(target)
                self.assertEqual(self.server.log, ["stable-win-x64-h%d.patch" % a for a, _ in chain])

    def test_failed_delta_falls_back_to_the_full_archive(self):
        def corrupt(at):
            def make(t):
                p = bytearray(t.patch(t.tar(1), t.tar(t.target)))
                p[at(len(p))] ^= 0xFF
                return bytes(p)
            return make

        rows = [
            ("UpdateArtifactNotFound", None),
            ("UpdatePatchCycle", "cycle"),
            ("CorruptPatch", lambda t: b"not a patch at all" * 4),
            ("CorruptPatch", lambda t: t.patch(t.tar(1), t.tar(t.target))[:-7]),
            ("CorruptPatch", corrupt(lambda n: 0)),
            ("PatchChecksumMismatch", corrupt(lambda n: n - 3)),
        ]
        for k, (error, patch) in enumerate(rows, start=10):
            with self.subTest(error=error, row=k):
                self.server.reset()
                self.target = k
                if patch == "cycle":
                    self.serve_patch(1, 2)
                    self.serve_patch(2, 1)
                elif patch is not None:
                    self.serve_patch(1, k, patch(self))
                self.serve_full(k)
                code, err = self.prepare(self.request(k))
                self.assertEqual((code, err), (0, FALLBACK % error))
                self.assertPrepared(k)
                self.assertEqual(self.server.log[-1], "stable-win-x64-%d.tar.zst" % k)

    def test_archive_that_is_not_the_requested_one(self):
        self.serve_patch(1, 2)
        self.serve_full(2)
        rows = [("ArchiveSizeMismatch", {"tar_size": len(self.tar(2)) + 512}),
                ("ArchiveHashMismatch", {"tar_sha256": "0" * 64})]
        for error, over in rows:
            with self.subTest(error=error):
                code, err = self.prepare(self.request(2, **over))
                self.assertEqual((code, err), (1, FALLBACK % error + "error: %s\n" % error))
                self.assertEqual((self.stages(), self.prepared(), self.record()), ([], [], None))

    def test_redirect_loops_end_after_six_requests_per_file(self):
        self.server.loops = {"stable-win-x64-h1.patch", "stable-win-x64-2.tar.zst"}
        code, err = self.prepare(self.request(2))
        self.assertEqual((code, err), (1, FALLBACK % "TooManyUpdateRedirects" + "error: TooManyUpdateRedirects\n"))
        self.assertEqual(self.server.log, ["stable-win-x64-h1.patch"] * 6 + ["stable-win-x64-2.tar.zst"] * 6)
        self.assertEqual(self.stages(), [])


class Exclusion(PrepareTest):
    def test_lock_held_elsewhere_is_busy_at_once(self):
        self.serve_patch(1, 2)
        lock_path = os.path.join(self.channel, ".tamberlock-prepare.lock")
        holder = subprocess.Popen([sys.executable, "-c", (
            "import fcntl, sys\n"
            "f = open(sys.argv[1], 'a+')\n"
            "fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0)\n"
            "print('held', flush=True)\n"
            "sys.stdin.read()\n"), lock_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(holder.stdout.readline(), b"held\n")
        code, err = self.prepare(self.request(2))
        holder.stdin.close()
        holder.wait()
        holder.stdout.close()
        self.assertEqual((code, err), (1, "error: UpdatePreparationBusy\n"))
        self.assertEqual(self.server.log, [])
        # Free again: the lock file that is there is used as it is.
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        self.assertPrepared(2)
        self.assertTrue(os.path.isfile(lock_path))

    def test_rejected_requests_touch_nothing(self):
        self.serve_patch(1, 2)
        before = self.names()
        rows = [
            ("InvalidPrepareRequest", {"schema_version": 2}, None),
            ("InvalidPrepareRequest", {"tar_size": ...}, None),
            ("UnknownField", {"extra": 1}, None),
            ("InsecureUpdateUrl", {"base_url": "http://example.com/u"}, None),
            ("InvalidUpdateIdentity", {"base_hash": "h9"}, None),
            ("InvalidUpdatePath", {"channel_root": to_win(os.path.join(self.sb.local_app_data, "stable"))}, None),
            ("MissingUpdateHome", {}, {"LOCALAPPDATA": None, "USERPROFILE": None}),
        ]
        for error, over, env_change in rows:
            with self.subTest(error=error, over=over):
                env = dict(self.sb.env)
                for name, value in (env_change or {}).items():
                    env.pop(name)
                request = self.request(2, **over)
                code, err = self.prepare(request, env=env)
                self.assertEqual((code, err), (1, "error: %s\n" % error))
                os.unlink(sandbox.to_host(request))
                self.assertEqual(self.names(), before)
                self.assertEqual(self.server.log, [])

    def test_lock_file_that_is_a_folder(self):
        os.mkdir(os.path.join(self.channel, ".tamberlock-prepare.lock"))
        self.assertEqual(self.prepare(self.request(2)), (1, "error: InvalidUpdateLock\n"))


class Leftovers(PrepareTest):
    def test_second_run_reuses_without_a_request(self):
        self.serve_patch(1, 2)
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        self.server.reset()
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        self.assertPrepared(2)
        self.assertEqual(self.server.log, [])

    def test_superseded_version_goes_with_its_recipe_and_record(self):
        self.serve_patch(1, 2)
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        self.server.reset()
        self.serve_patch(1, 3)
        self.assertEqual(self.prepare(self.request(3)), (0, ""))
        self.assertPrepared(3)
        self.assertFalse(os.path.exists(os.path.join(self.selfx, "h2.recipe.json")))

    def test_superseded_version_that_was_changed_stops_the_run(self):
        self.serve_patch(1, 2)
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        with open(os.path.join(self.channel, "app.prepared-h2", "DemoApp", "bin", "launcher.exe"), "ab") as f:
            f.write(b"x")
        self.serve_patch(1, 3)
        self.assertEqual(self.prepare(self.request(3)), (1, "error: FileSizeMismatch\n"))
        self.assertEqual(self.prepared(), ["app.prepared-h2"])
        self.assertEqual(self.record()["hash"], "h2")

    def test_superseded_version_waits_for_the_installation_mutex(self):
        # An update application holds the mutex while it renames a prepared
        # folder into place: the superseded folder is not deleted under it.
        self.serve_patch(1, 2)
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        self.serve_patch(1, 3)
        digest = hashlib.sha256(to_win(self.channel).lower().encode("utf-8")).hexdigest()[:32]
        mutex = "/tmp/tamberlock-mutex-%d/TamberlockUninstall_%s" % (os.geteuid(), digest)
        os.makedirs(os.path.dirname(mutex), mode=0o700, exist_ok=True)
        with open(mutex, "a") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            p = self.prepare(self.request(3), wait=False)
            time.sleep(0.5)
            self.assertIsNone(p.poll())
            self.assertEqual(self.prepared(), ["app.prepared-h2"])
            fcntl.flock(held, fcntl.LOCK_UN)
        _, err = p.communicate(timeout=120)
        self.assertEqual((p.returncode, err), (0, b""))
        self.assertPrepared(3)

    def test_interrupted_stages(self):
        old = os.path.join(self.channel, "app.prepare-" + "e" * 32)
        os.makedirs(os.path.join(old, "DemoApp"))
        kept = ["app.prepare-" + "E" * 32, "app.prepare-" + "e" * 31, "app.prepare-" + "e" * 32 + "x"]
        for name in kept:
            os.mkdir(os.path.join(self.channel, name))
        self.serve_patch(1, 2)
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        self.assertFalse(os.path.exists(old))
        self.assertEqual(self.stages(), sorted(kept))
        # The same name held by a file is refused, and nothing is fetched.
        self.server.reset()
        with open(old, "w") as f:
            f.write("x")
        self.assertEqual(self.prepare(self.request(3)), (1, "error: InvalidInterruptedUpdateStage\n"))
        self.assertEqual(self.server.log, [])

    def test_prepared_name_held_by_a_file(self):
        with open(os.path.join(self.channel, "app.prepared-h2"), "w") as f:
            f.write("x")
        self.assertEqual(self.prepare(self.request(2)), (1, "error: InvalidOrphanedUpdateStage\n"))


class Killed(PrepareTest):
    def kill_when(self, request, ready):
        p = self.prepare(request, wait=False)
        deadline = time.time() + 60
        while not ready() and time.time() < deadline:
            time.sleep(0.01)
        self.assertTrue(ready())
        p.send_signal(signal.SIGKILL)
        p.wait()
        p.stderr.close()
        self.server.release.set()

    def test_killed_runs_are_cleaned_up_by_the_next(self):
        rows = [
            # during the patch download: half of it sent, the patch file made
            ("stable-win-x64-h1.patch",
             lambda: self.server.log and any(n.startswith(".patch-") for n in self.names(self.selfx))),
            # during the unpacking of the full archive (half of it sent): the
            # stage fills
            ("stable-win-x64-2.tar.zst",
             lambda: any(os.path.exists(os.path.join(self.channel, s, "DemoApp", "Resources", "uninstall"))
                         for s in self.stages())),
        ]
        for stalled, ready in rows:
            with self.subTest(stalled=stalled):
                self.server.reset()
                self.serve_patch(1, 2)
                self.serve_full(2)
                if stalled.endswith(".tar.zst"):
                    del self.server.files["stable-win-x64-h1.patch"]
                data = self.server.files[stalled]
                self.server.stalls[stalled] = len(data) // 2
                self.kill_when(self.request(2), ready)
                self.server.stalls.clear()
                code, err = self.prepare(self.request(2))
                self.assertEqual(code, 0, err)
                self.assertPrepared(2)
                shutil.rmtree(os.path.join(self.channel, "app.prepared-h2"))
                os.unlink(os.path.join(self.selfx, ".tamberlock-prepared-update.json"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:])
