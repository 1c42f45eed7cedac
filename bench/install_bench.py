"""Installer throughput against the plain tools.

Generates an application of a few hundred MiB (a few large binaries and many
small resources), packs it as tar + zstd, and times

  installer:  build/setup run as a self-extracting installer in a sandbox
              (unpacking with a sync of every file, the swap into place, the
              recipe, the shell integration through the stand-ins), and
  baseline:   zstd -dc archive | tar -x -C <folder on the same disk>; sync

Each side runs `--runs` times after a sync of earlier writes; the best times
are compared. The ratio installer / baseline is the figure of merit; the
installer's peak memory is shown beside it. Many small files (where syncing
them dominates): --mib 150 --small-kib 3.75 makes about 20,000 files.

    python3 bench/install_bench.py [--build build] [--mib 300] [--runs 3] [--small-kib N]
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


def generate(folder, total_mib, manager, small_kib=None, seed=1):
    """DemoApp with bin/launcher.exe, Resources/uninstall, four large files and
    many small ones; content half random, half repetitive, so that it packs
    like real binaries."""
    rng = random.Random(seed)
    app = os.path.join(folder, "BenchApp")
    os.makedirs(os.path.join(app, "bin"))
    os.makedirs(os.path.join(app, "Resources"))
    with open(os.path.join(app, "bin", "launcher.exe"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(os.path.join(app, "bin", "launcher.exe"), 0o755)
    shutil.copy(manager, os.path.join(app, "Resources", "uninstall"))

    def blob(n):
        half = n // 2
        text = (b"resource %d " % rng.randrange(1000)) * (half // 12 + 1)
        return rng.randbytes(half) + text[: n - half]

    total = total_mib << 20
    written = 0
    for i in range(4):
        n = total // 8
        with open(os.path.join(app, "bin", "lib%d.so" % i), "wb") as f:
            f.write(blob(n))
        written += n
    i = 0
    while written < total:
        d = os.path.join(app, "Resources", "pack%02d" % (i // 200))
        os.makedirs(d, exist_ok=True)
        n = int(small_kib * 1024) if small_kib else rng.choice((2048, 8192, 30000, 65536, 150000, 400000))
        with open(os.path.join(d, "res%05d.bin" % i), "wb") as f:
            f.write(blob(n))
        written += n
        i += 1
    files = sum(len(fs) for _, _, fs in os.walk(app))
    return app, files, written


def filesystem_of(path):
    out = subprocess.run(["df", "-T", path], capture_output=True, text=True).stdout.splitlines()[-1].split()
    return "%s on %s" % (out[1], out[0])


def sync():
    subprocess.run(["sync"], check=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--mib", type=int, default=300)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--small-kib", type=float, default=None,
                    help="make every small file this size (many more files)")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    os.environ["TL_BUILD_DIR"] = build
    from sandbox import Sandbox
    setup = os.path.join(build, "setup")

    work = tempfile.mkdtemp(prefix="tl-bench-")
    try:
        app, files, size = generate(work, args.mib, setup, args.small_kib)
        tar = os.path.join(work, "app.tar")
        with tarfile.open(tar, "w", format=tarfile.PAX_FORMAT) as t:
            t.add(app, arcname="BenchApp")
        shutil.rmtree(app)
        archive = tar + ".zst"
        subprocess.run(["zstd", "-q", "-3", "-T0", tar, "-o", archive], check=True)
        os.unlink(tar)
        dl = os.path.join(work, "dl")
        os.makedirs(os.path.join(dl, ".installer"))
        shutil.copy(setup, os.path.join(dl, "BenchSetup.exe"))
        shutil.move(archive, os.path.join(dl, ".installer", "BenchSetup.tar.zst"))
        archive = os.path.join(dl, ".installer", "BenchSetup.tar.zst")
        with open(os.path.join(dl, ".installer", "BenchSetup.metadata.json"), "w") as f:
            json.dump({"identifier": "com.example.bench", "name": "Bench App", "channel": "stable",
                       "hash": "bench1"}, f)

        print("application: %d files, %.1f MiB; archive %.1f MiB (zstd -3)"
              % (files, size / 2**20, os.path.getsize(archive) / 2**20))
        print("file system: %s" % filesystem_of(work))

        installer_times, baseline_times, peaks = [], [], []
        for run in range(args.runs):
            sb = Sandbox(build_dir=build, prefix="tl-bench-sandbox-")
            try:
                sync()
                t0 = time.monotonic()
                with tempfile.TemporaryFile() as err:
                    p = subprocess.Popen([os.path.join(dl, "BenchSetup.exe")], env=sb.env,
                                         stdout=subprocess.DEVNULL, stderr=err)
                    _, status, usage = os.wait4(p.pid, 0)
                    installer_times.append(time.monotonic() - t0)
                    peaks.append(usage.ru_maxrss / 1024)
                    p.returncode = os.waitstatus_to_exitcode(status)
                    if p.returncode != 0:
                        err.seek(0)
                        sys.exit("installer failed:\n" + err.read().decode(errors="replace")[-3000:])
            finally:
                sb.cleanup()

            target = os.path.join(work, "plain%d" % run)
            os.makedirs(target)
            sync()
            t0 = time.monotonic()
            subprocess.run("zstd -dc '%s' | tar -x -C '%s' && sync" % (archive, target), shell=True, check=True)
            baseline_times.append(time.monotonic() - t0)
            shutil.rmtree(target)
            print("run %d: installer %.2f s (peak %.1f MiB), zstd | tar + sync %.2f s"
                  % (run + 1, installer_times[-1], peaks[-1], baseline_times[-1]), flush=True)

        best_i, best_b = min(installer_times), min(baseline_times)
        print("best: installer %.2f s (%.0f MiB/s), baseline %.2f s (%.0f MiB/s), ratio %.2f; "
              "installer peak %.1f MiB"
              % (best_i, size / 2**20 / best_i, best_b, size / 2**20 / best_b, best_i / best_b, max(peaks)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
