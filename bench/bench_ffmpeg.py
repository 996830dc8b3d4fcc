#!/usr/bin/env python3
"""The ffmpeg.exe we build against the one shipped before (ffmpeg 4.1 from the npm package
@ffmpeg-installer/win32-ia32, or win32-x64 when the new one is a 64-bit build, as on
machines whose Wine runs only 64-bit programs; fetched into a cache by this script), under
Wine.

A 60-second 1280x720 H.264/AAC MPEG-TS (made with Debian's ffmpeg) is remuxed to MP4
(-c copy) and re-encoded with qm.bat's settings by each binary, the binaries taking turns,
--repeat times; medians and the ratios new/old are printed, with the size of each exe and of
the release zip made with it. --also NAME=PATH adds another ffmpeg.exe (e.g. a 64-bit build)
to the same run. Figures, not a pass/fail verdict.

    bench/bench_ffmpeg.py [--bin-dir DIR] [--new ffmpeg.exe] [--old ffmpeg.exe] [--repeat N]
                          [--also NAME=PATH ...]
"""

import argparse
import io
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "script"))
import benchkit  # noqa: E402
from qmkit import start_keeper, stop_keeper, winpath  # noqa: E402

# qm.bat's re-encode settings.
ENCODE = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-pix_fmt", "yuv420p",
          "-vf", "crop=trunc(iw/2)*2:trunc(ih/2)*2:0:0", "-c:a", "aac", "-b:a", "128k",
          "-movflags", "+faststart"]

OLD_PACKAGES = {"i686": "win32-ia32", "x86_64": "win32-x64"}


def pe_arch(exe):
    """i686 or x86_64, from the PE header's machine field."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3c:0x40], "little")
    return {0x14c: "i686", 0x8664: "x86_64"}.get(int.from_bytes(head[pe + 4:pe + 6], "little"))


def old_ffmpeg(arch):
    """The npm package's ffmpeg.exe, fetched once into the build cache."""
    name = OLD_PACKAGES[arch]
    package = "@ffmpeg-installer/%s@4.1.0" % name
    cache = os.path.join(os.environ.get("KSM_FFMPEG_CACHE", "/var/cache/ksmconverter"),
                         "npm-ffmpeg-installer-%s-4.1.0" % name)
    exe = os.path.join(cache, "ffmpeg.exe")
    if os.path.isfile(exe):
        return exe
    if shutil.which("npm") is None:
        sys.exit("npm is needed once to fetch %s (or pass --old)" % package)
    tmp = tempfile.mkdtemp(prefix="npm-ffmpeg-")
    try:
        subprocess.run(["npm", "pack", "--silent", package], cwd=tmp, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=600)
        tgz = [f for f in os.listdir(tmp) if f.endswith(".tgz")][0]
        subprocess.run(["tar", "xzf", tgz], cwd=tmp, check=True)
        os.makedirs(cache, exist_ok=True)
        shutil.copy(os.path.join(tmp, "package", "ffmpeg.exe"), exe + ".part")
        os.replace(exe + ".part", exe)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return exe


def run(exe, args, cwd):
    took, rc, out = benchkit.wine(["wine", exe, "-nostdin", "-y", "-loglevel", "error"] + args, cwd)
    if rc:
        sys.exit("%s failed (%d): %s" % (exe, rc, out[-2000:].decode(errors="replace")))
    return took


def zip_size(files):
    """Bytes of a deflated zip of these files (how the release zip is made)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for f in files:
            z.write(f, os.path.basename(f))
    return len(buf.getvalue())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir")
    ap.add_argument("--new")
    ap.add_argument("--old")
    ap.add_argument("--also", action="append", default=[], metavar="NAME=PATH")
    ap.add_argument("--repeat", type=int, default=3)
    opts = ap.parse_args()

    bin_dir = opts.bin_dir or os.path.join(REPO, "build", "bin")
    new = opts.new or os.path.join(bin_dir, "ffmpeg.exe")
    if not os.path.isfile(new):
        sys.exit("no ffmpeg.exe in %s (run tools/setup)" % bin_dir)
    new = os.path.realpath(new)
    arch = pe_arch(new)
    exes = [("old 4.1", opts.old or old_ffmpeg(arch)), ("new", new)]
    exes += [tuple(a.split("=", 1)) for a in opts.also]

    work = tempfile.mkdtemp(prefix="bench-ffmpeg-")
    keeper = start_keeper(work)
    try:
        src = os.path.join(work, "in.ts")
        r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                            "testsrc2=size=1280x720:rate=25", "-f", "lavfi", "-i",
                            "sine=frequency=440:sample_rate=48000", "-t", "60", "-c:v", "libx264",
                            "-preset", "veryfast", "-c:a", "aac", "-f", "mpegts", src],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode:
            sys.exit("making the sample failed: %s" % r.stdout.decode(errors="replace"))
        jobs = {"remux": ["-c", "copy", "-movflags", "+faststart"], "re-encode": ENCODE}
        times = {(name, job): [] for name, _ in exes for job in jobs}
        sizes = {}
        for _ in range(opts.repeat):
            for job, args in jobs.items():
                for name, exe in exes:   # taking turns, so a busy moment hits all alike
                    out = os.path.join(work, "out.mp4")
                    times[(name, job)].append(run(exe, ["-i", winpath(src)] + args + [out], work))
                    sizes[(name, job)] = os.path.getsize(out)
        print("60 s 1280x720 H.264/AAC MPEG-TS, median of %d runs under Wine; new is %s"
              % (opts.repeat, arch))
        old_name = exes[0][0]
        for job in jobs:
            base = statistics.median(times[(old_name, job)])
            for name, _ in exes:
                med = statistics.median(times[(name, job)])
                print("  %-9s %-10s %7.2f s  (%.2fx of old; output %.1f MB)"
                      % (job, name, med, med / base, sizes[(name, job)] / 1e6))
        rest = [os.path.join(bin_dir, "ksmConverter.exe"), os.path.join(REPO, "scripts", "qm.bat"),
                os.path.join(REPO, "scripts", "README-release.txt")]
        rest = [f for f in rest if os.path.isfile(f)]
        sized = list(exes)
        release = os.path.join(os.path.dirname(bin_dir), "release", "ffmpeg-win32", "ffmpeg.exe")
        if arch != "i686" and os.path.isfile(release):   # the release's own, made by tools/package
            sized += [("old 32-bit", old_ffmpeg("i686")), ("new 32-bit", release)]
        for name, exe in sized:
            print("  %-10s ffmpeg.exe %5.1f MB; release zip with it %5.1f MB"
                  % (name, os.path.getsize(exe) / 1e6, zip_size(rest + [exe]) / 1e6))
    finally:
        stop_keeper(keeper)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
