"""End-to-end: build/setup --prepare-update <request> --quiet in a sandbox.

Version 1 is installed by the installer road itself; version k (build hk) is
served by a loopback server that logs each request, as the full archive
stable-win-x64-<k>.tar.zst and as patches stable-win-x64-h<from>.patch made
by build/make_patch.
"""
import fcntl
import hashlib
import http.server
import io
import json
import os
import random
import re
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
from sandbox import Sandbox, to_win, wait_for  # noqa: E402

SETUP = os.path.join(sandbox.BUILD_DIR, "setup")
MAKE_PATCH = os.path.join(sandbox.BUILD_DIR, "make_patch")
APP_ID = "com.example.demo"
FALLBACK = "Delta preparation unavailable (%s); streaming the full update.\n"
with open(SETUP, "rb") as _f:
    MANAGER = _f.read()


def zstd(data):
    return subprocess.run(["zstd", "-q", "-c", "-3"], input=data, stdout=subprocess.PIPE, check=True).stdout


class Server(http.server.ThreadingHTTPServer):
    """Serves `files` by last path component; names in `loops` redirect to
    themselves; a name in `stalls` sends that many bytes and then waits for
    `release`. `log` lists the names asked for."""
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.files, self.loops, self.stalls, self.log = {}, set(), {}, []
        self.release = threading.Event()
        threading.Thread(target=self.serve_forever, daemon=True).start()
        self.base_url = "http://127.0.0.1:%d/u" % self.server_address[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        s, name = self.server, self.path.partition("?")[0].rpartition("/")[2]
        s.log.append(name)
        data = s.files.get(name, b"")
        if name in s.loops:
            self.send_response(302)
            self.send_header("Location", self.path)
            self.send_header("Content-Length", "0")
            return self.end_headers()
        self.send_response(200 if data else 404)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        cut = s.stalls.get(name, len(data))
        try:
            self.wfile.write(data[:cut])
            self.wfile.flush()
            if cut < len(data) and s.release.wait(60):
                self.wfile.write(data[cut:])
        except OSError:
            pass


class PrepareTest(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.cleanup)
        self.server = Server()
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)
        self.addCleanup(self.server.release.set)
        self.channel = os.path.join(self.sb.local_app_data, APP_ID, "stable")
        self.selfx = os.path.join(self.channel, "self-extraction")
        self.tars, self.transaction = {}, 0
        self.install(1)

    def install(self, k):
        """Version k installed by the installer road itself."""
        exe = os.path.join(self.sb.root, "Setup.exe")
        meta = json.dumps({"identifier": APP_ID, "name": "Demo App", "channel": "stable", "hash": "h%d" % k})
        with open(exe, "wb") as f:
            f.write(MANAGER + b"TAMBERLOCK_METADATA_V1" + meta.encode() + b"TAMBERLOCK_ARCHIVE_V1" + zstd(self.tar(k)))
        os.chmod(exe, 0o755)
        p = subprocess.run([exe], capture_output=True, timeout=120, env=dict(
            self.sb.env, TAMBERLOCK_POSIX_UI_LOG=os.path.join(self.sb.root, "ui.log"),
            TAMBERLOCK_INSTALLER_UI_AUTOCLOSE="1"))
        self.assertEqual(p.returncode, 0, p.stderr)

    def entries(self, k):
        """Version k: a data file that differs a little from version to
        version, and a launcher that appends "DemoApp <k> started" to
        launcher.log in the sandbox."""
        data = bytearray(hashlib.sha256(b"data").digest() * 3072)
        for i in range(8):
            data[(k * 977 + i * 4099) % len(data)] ^= k
        version = json.dumps({"identifier": APP_ID, "name": "Demo App", "displayName": "Demo App",
                              "channel": "stable", "version": "%d.0" % k, "hash": "h%d" % k,
                              "baseUrl": self.server.base_url}).encode()
        launcher = "#!/bin/sh\necho \"DemoApp %d started\" >> '%s'\n" % (k, os.path.join(self.sb.root, "launcher.log"))
        return [("DemoApp", None), ("DemoApp/bin", None), ("DemoApp/bin/launcher.exe", launcher.encode()),
                ("DemoApp/Resources", None), ("DemoApp/Resources/uninstall", MANAGER),
                ("DemoApp/Resources/version.json", version), ("DemoApp/Resources/data.bin", bytes(data))]

    def tar(self, k):
        if k not in self.tars:
            out = io.BytesIO()
            with tarfile.open(fileobj=out, mode="w", format=tarfile.PAX_FORMAT) as t:
                for name, body in self.entries(k):
                    info = tarfile.TarInfo(name)
                    info.mtime, info.mode = 1700000000, 0o755
                    if body is None:
                        info.type = tarfile.DIRTYPE
                    else:
                        info.size = len(body)
                    t.addfile(info, None if body is None else io.BytesIO(body))
            self.tars[k] = out.getvalue()
        return self.tars[k]

    def patch(self, a, b):
        paths = [os.path.join(self.sb.root, n) for n in ("old", "new", "patch")]
        for path, data in zip(paths, (self.tar(a), self.tar(b))):
            with open(path, "wb") as f:
                f.write(data)
        subprocess.run([MAKE_PATCH] + paths, check=True, stdout=subprocess.DEVNULL)
        with open(paths[2], "rb") as f:
            return f.read()

    def serve(self, patches=(), full=(), reset=True):
        if reset:
            self.server.files, self.server.loops, self.server.stalls, self.server.log = {}, set(), {}, []
            self.server.release.clear()
        for a, b in patches:
            self.server.files["stable-win-x64-h%d.patch" % a] = self.patch(a, b)
        for k in full:
            self.server.files["stable-win-x64-%d.tar.zst" % k] = zstd(self.tar(k))

    def request(self, k, **over):
        """Writes a request for version k, as the updater does; its Windows path."""
        self.transaction += 1
        tid = "%032x" % (0xabc0000 + self.transaction)
        r = {"schema_version": 1, "transaction_id": tid, "identifier": APP_ID, "channel": "stable",
             "version": "%d.0" % k, "hash": "h%d" % k, "platform": "win", "arch": "x64",
             "base_url": self.server.base_url, "base_hash": "h1",
             "tar_sha256": hashlib.sha256(self.tar(k)).hexdigest(), "tar_size": len(self.tar(k)),
             "channel_root": to_win(self.channel), "artifact_file": "stable-win-x64-%d.tar.zst" % k,
             "app_bundle_path": to_win(os.path.join(self.channel, "app"))}
        r.update(over)
        path = os.path.join(self.channel, ".tamberlock-prepare-%s.json" % tid)
        with open(path, "w") as f:
            json.dump({key: value for key, value in r.items() if value is not None}, f)
        return to_win(path)

    def prepare(self, request, env=None, wait=True):
        argv = [SETUP, "--prepare-update", request, "--quiet"]
        if not wait:
            return subprocess.Popen(argv, env=env or self.sb.env, stderr=subprocess.DEVNULL)
        p = subprocess.run(argv, env=env or self.sb.env, capture_output=True, timeout=300)
        return p.returncode, p.stderr.decode("utf-8", "replace")

    def named(self, prefix, folder=None):
        return sorted(n for n in os.listdir(folder or self.channel) if n.startswith(prefix))

    def record(self):
        path = os.path.join(self.selfx, ".tamberlock-prepared-update.json")
        if os.path.exists(path):
            with open(path) as f:
                return json.load(f)

    def assertPrepared(self, k):
        """Only version k prepared, as its archive holds it, with recipe and
        record; no stage and no patch file left."""
        self.assertEqual((self.named("app.prepared-"), self.named("app.prepare-")), (["app.prepared-h%d" % k], []))
        with tarfile.open(fileobj=io.BytesIO(self.tar(k))) as t:
            for m in (m for m in t.getmembers() if m.isfile()):
                with open(os.path.join(self.channel, "app.prepared-h%d" % k, m.name), "rb") as f:
                    self.assertEqual(f.read(), t.extractfile(m).read(), m.name)
        with open(os.path.join(self.selfx, "h%d.recipe.json" % k), "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        self.assertEqual({key: self.record()[key] for key in ("hash", "version", "recipe_sha256")},
                         {"hash": "h%d" % k, "version": "%d.0" % k, "recipe_sha256": digest})
        self.assertEqual(self.named(".patch-", self.selfx), [])
        self.assertEqual([n for n in os.listdir(self.selfx) if re.fullmatch(r"(.+\.tmp-)?[0-9a-f]{16}", n)], [])

    def installation_mutex(self):
        """The lock file standing for the installation's named mutex."""
        digest = hashlib.sha256(to_win(self.channel).lower().encode()).hexdigest()[:32]
        mutex = "/tmp/tamberlock-mutex-%d/TamberlockUninstall_%s" % (os.geteuid(), digest)
        os.makedirs(os.path.dirname(mutex), mode=0o700, exist_ok=True)
        return mutex

    @staticmethod
    def waits_for(p, path):
        """The run has the lock file open: it waits for the mutex, or has ended."""
        try:
            return any(os.readlink("/proc/%d/fd/%s" % (p.pid, fd)) == path
                       for fd in os.listdir("/proc/%d/fd" % p.pid))
        except OSError:
            return p.poll() is not None


class Roads(PrepareTest):
    def test_patch_chains(self):
        for chain in ([(1, 2)], [(1, 3), (3, 4), (4, 5)]):
            self.serve(patches=chain)
            self.assertEqual(self.prepare(self.request(chain[-1][1])), (0, ""))
            self.assertPrepared(chain[-1][1])
            self.assertEqual(self.server.log, ["stable-win-x64-h%d.patch" % a for a, _ in chain])

    def test_failed_delta_falls_back_to_the_full_archive(self):
        def spoilt(change):
            return lambda k: change(bytearray(self.patch(1, k)))

        def flip(p, at):
            p[at] ^= 0xFF
            return bytes(p)

        rows = [("UpdateArtifactNotFound", None), ("UpdatePatchCycle", None),
                ("CorruptPatch", lambda k: b"not a patch" * 8), ("CorruptPatch", spoilt(lambda p: bytes(p[:-7]))),
                ("CorruptPatch", spoilt(lambda p: flip(p, 0))),
                ("PatchChecksumMismatch", spoilt(lambda p: flip(p, len(p) - 3))),
                # a patch longer than the archive it makes (tar_size)
                ("UpdateDownloadTooLarge", lambda k: bytes(len(self.tar(k)) + 1))]
        for k, (error, patch) in enumerate(rows, start=10):
            self.serve(patches=[(1, 2), (2, 1)] if error == "UpdatePatchCycle" else [], full=[k])
            if patch:
                self.server.files["stable-win-x64-h1.patch"] = patch(k)
            self.assertEqual(self.prepare(self.request(k)), (0, FALLBACK % error))
            self.assertPrepared(k)

    def test_archive_other_than_requested_leaves_no_stage(self):
        self.serve(patches=[(1, 2)], full=[2])
        for error, over in (("ArchiveSizeMismatch", {"tar_size": len(self.tar(2)) + 512}),
                            ("ArchiveHashMismatch", {"tar_sha256": "0" * 64})):
            self.assertEqual(self.prepare(self.request(2, **over)), (1, FALLBACK % error + "error: %s\n" % error))
            self.assertEqual((self.named("app.prepare"), self.record()), ([], None))

    def test_redirect_loops_end_after_six_requests_per_file(self):
        self.server.loops = {"stable-win-x64-h1.patch", "stable-win-x64-2.tar.zst"}
        self.assertEqual(self.prepare(self.request(2)),
                         (1, FALLBACK % "TooManyUpdateRedirects" + "error: TooManyUpdateRedirects\n"))
        self.assertEqual(self.server.log, ["stable-win-x64-h1.patch"] * 6 + ["stable-win-x64-2.tar.zst"] * 6)


class Exclusion(PrepareTest):
    def test_lock_held_elsewhere_is_busy_at_once(self):
        self.serve(patches=[(1, 2)])
        lock = os.path.join(self.channel, ".tamberlock-prepare.lock")
        with open(lock, "a") as held:
            fcntl.lockf(held, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0)  # a lock of another process
            self.assertEqual(self.prepare(self.request(2)), (1, "error: UpdatePreparationBusy\n"))
        self.assertEqual(self.server.log, [])
        self.assertEqual(self.prepare(self.request(2)), (0, ""))  # free again, the file reused
        self.assertPrepared(2)

    def test_rejected_requests_touch_nothing(self):
        self.serve(patches=[(1, 2)])
        before = sorted(os.listdir(self.channel))
        for error, over, unset in (
                ("InvalidPrepareRequest", {"schema_version": 2}, ()),
                ("InvalidPrepareRequest", {"tar_size": None}, ()),
                ("UnknownField", {"extra": 1}, ()),
                ("InsecureUpdateUrl", {"base_url": "http://example.com/u"}, ()),
                ("InvalidUpdateIdentity", {"base_hash": "h9"}, ()),
                ("InvalidUpdatePath", {"channel_root": to_win(os.path.join(self.sb.local_app_data, "stable"))}, ()),
                ("MissingUpdateHome", {}, ("LOCALAPPDATA", "USERPROFILE"))):
            request = self.request(2, **over)
            env = {k: v for k, v in self.sb.env.items() if k not in unset}
            self.assertEqual(self.prepare(request, env=env), (1, "error: %s\n" % error))
            os.unlink(sandbox.to_host(request))
            self.assertEqual((sorted(os.listdir(self.channel)), self.server.log), (before, []))


class Leftovers(PrepareTest):
    def test_reuse_then_supersession_under_the_installation_mutex(self):
        self.serve(patches=[(1, 2)])
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        self.serve()
        self.assertEqual(self.prepare(self.request(2)), (0, ""))  # reused: nothing asked for
        self.assertEqual(self.server.log, [])
        self.assertPrepared(2)
        # Version 3 supersedes it, but not while an update application holds
        # the installation mutex (it may be renaming that very folder).
        self.serve(patches=[(1, 3)])
        with open(self.installation_mutex(), "a") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            p = self.prepare(self.request(3), wait=False)
            self.assertTrue(wait_for(lambda: self.waits_for(p, held.name), timeout=60))
            self.assertEqual((p.poll(), self.named("app.prepared-")), (None, ["app.prepared-h2"]))
        self.assertEqual(p.wait(120), 0)
        self.assertPrepared(3)
        self.assertFalse(os.path.exists(os.path.join(self.selfx, "h2.recipe.json")))

    def test_record_left_without_its_folder(self):
        """As an application that failed after its swap leaves it, with a
        write of a record cut short beside it."""
        self.serve(patches=[(1, 2)])
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        shutil.rmtree(os.path.join(self.channel, "app.prepared-h2"))
        kept = ["0123456789ABCDEF", "0123456789abcdef.json", "0123456789abcde"]
        for name in kept + ["0123456789abcdef"]:
            with open(os.path.join(self.selfx, name), "w") as f:
                f.write('{"schema_version":2,"ident')
        self.serve(patches=[(1, 3)])
        self.assertEqual(self.prepare(self.request(3)), (0, ""))
        self.assertPrepared(3)
        self.assertEqual(sorted(os.listdir(self.selfx)),
                         sorted([".tamberlock-prepared-update.json", "h1.recipe.json", "h3.recipe.json"] + kept))

    def test_damaged_prepared_folder(self):
        """The same version asked again is prepared afresh; a newer one
        prepares and the damaged one goes."""
        def lose_a_file(folder):
            os.unlink(os.path.join(folder, "DemoApp", "Resources", "data.bin"))

        def stray_beside_its_root(folder):
            with open(os.path.join(folder, "stray"), "w") as f:
                f.write("not of the version")

        for damage in (lose_a_file, stray_beside_its_root):
            with self.subTest(damage.__name__):
                self.serve(patches=[(1, 2)])
                self.assertEqual(self.prepare(self.request(2)), (0, ""))
                damage(os.path.join(self.channel, "app.prepared-h2"))
                self.serve(patches=[(1, 2)])
                self.assertEqual(self.prepare(self.request(2)), (0, ""))
                self.assertEqual(self.server.log, ["stable-win-x64-h1.patch"])
                self.assertPrepared(2)
                damage(os.path.join(self.channel, "app.prepared-h2"))
                self.serve(patches=[(1, 3)])
                self.assertEqual(self.prepare(self.request(3)), (0, ""))
                self.assertPrepared(3)
                self.assertFalse(os.path.exists(os.path.join(self.selfx, "h2.recipe.json")))

    def test_killed_while_removing_a_superseded_version(self):
        """Held at the installation mutex, then released and killed a seeded
        random moment later (mostly within the few milliseconds that the
        removal takes): before it, while the old version is set aside and
        deleted, or while the new one is prepared. The next run always
        succeeds."""
        many = [("DemoApp/many", None)] + [("DemoApp/many/f%04d" % i, b"x" * 512) for i in range(400)]
        entries = self.entries
        self.entries = lambda k: entries(k) + many
        patches = {k: self.patch(1, k) for k in (2, 3)}

        def prepare(k, wait=True):
            self.serve()
            self.server.files["stable-win-x64-h1.patch"] = patches[k]
            return self.prepare(self.request(k), wait=wait)

        self.assertEqual(prepare(2), (0, ""))
        rng, killed = random.Random(24), 0
        for i in range(10):
            k = 3 if i % 2 == 0 else 2  # each supersedes the other
            with open(self.installation_mutex(), "a") as held:
                fcntl.flock(held, fcntl.LOCK_EX)
                p = prepare(k, wait=False)
                wait_for(lambda: self.waits_for(p, held.name), timeout=60)
            time.sleep(rng.uniform(0, 0.003) if i % 3 else rng.uniform(0, 0.05))
            p.send_signal(signal.SIGKILL)
            killed += p.wait() == -signal.SIGKILL
            self.assertEqual(prepare(k), (0, ""), "run %d" % i)
            self.assertPrepared(k)
            self.assertFalse(os.path.exists(os.path.join(self.selfx, "h%d.recipe.json" % (5 - k))))
        self.assertGreater(killed, 5)

    def test_prepared_folders_that_no_record_names(self):
        """As runs killed between naming their prepared folder and writing
        its record leave them, and as a helper killed after its swap leaves
        the installed version's folder and the record naming it."""
        path = os.path.join(self.selfx, ".tamberlock-prepared-update.json")
        folder = lambda k: os.path.join(self.channel, "app.prepared-h%d" % k)  # noqa: E731
        self.serve(patches=[(1, 2)])
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        os.unlink(path)
        self.serve(patches=[(1, 3)])
        self.assertEqual(self.prepare(self.request(3)), (0, ""))
        self.assertPrepared(3)
        shutil.copytree(folder(3), folder(4))
        shutil.copy(os.path.join(self.selfx, "h3.recipe.json"), os.path.join(self.selfx, "h4.recipe.json"))
        os.mkdir(folder(1))
        with open(path) as f:
            text = f.read().replace("h3", "h1")
        with open(path, "w") as f, open(folder(5), "w"):  # a file under such a name is not ours
            f.write(text)
        self.serve()
        self.assertEqual(self.prepare(self.request(3)), (0, ""))  # reused
        self.assertEqual((self.server.log, self.named("app.prepared-")), ([], ["app.prepared-h3", "app.prepared-h5"]))
        os.unlink(folder(5))
        self.assertPrepared(3)
        self.assertEqual(self.named("h", self.selfx), ["h1.recipe.json", "h3.recipe.json"])
        self.serve(patches=[(1, 6)])
        self.assertEqual(self.prepare(self.request(6)), (0, ""))  # by patch from the installed version's recipe
        self.assertPrepared(6)

    def test_interrupted_stages(self):
        old = os.path.join(self.channel, "app.prepare-" + "e" * 32)
        os.makedirs(os.path.join(old, "DemoApp"))
        kept = ["app.prepare-" + "E" * 32, "app.prepare-" + "e" * 31, "app.prepare-" + "e" * 32 + "x"]
        for name in kept:
            os.mkdir(os.path.join(self.channel, name))
        self.serve(patches=[(1, 2)])
        self.assertEqual(self.prepare(self.request(2)), (0, ""))
        self.assertEqual(self.named("app.prepare-"), sorted(kept))
        self.serve()
        with open(old, "w") as f:
            f.write("a file under a stage's name")
        self.assertEqual(self.prepare(self.request(3)), (1, "error: InvalidInterruptedUpdateStage\n"))
        self.assertEqual(self.server.log, [])

    def test_killed_runs_are_cleaned_up_by_the_next(self):
        for stalled, ready in (
                # in the patch download: half of it sent, the patch file made
                ("stable-win-x64-h1.patch", lambda: self.named(".patch-", self.selfx)),
                # in the full archive's unpacking: half of it sent, the stage filling
                ("stable-win-x64-2.tar.zst", lambda: any(os.path.exists(os.path.join(
                    self.channel, s, "DemoApp", "Resources", "uninstall")) for s in self.named("app.prepare-")))):
            self.serve(patches=[(1, 2)] if stalled.endswith(".patch") else [], full=[2])
            self.server.stalls[stalled] = len(self.server.files[stalled]) // 2
            p = self.prepare(self.request(2), wait=False)
            wait_for(ready, timeout=60)
            p.send_signal(signal.SIGKILL)
            p.wait()
            self.assertTrue(ready())
            self.server.release.set()
            self.server.stalls.clear()
            self.assertEqual(self.prepare(self.request(2))[0], 0)
            self.assertPrepared(2)
            os.rename(os.path.join(self.channel, "app.prepared-h2"), os.path.join(self.sb.root, stalled))
            os.unlink(os.path.join(self.selfx, ".tamberlock-prepared-update.json"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:])
