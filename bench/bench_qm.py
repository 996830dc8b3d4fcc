#!/usr/bin/env python3
"""How much qm.bat costs on top of running ffmpeg by hand, under Wine.

Three 60-second 1280x720 recordings: H.264/AAC in MPEG-TS (remux path), MPEG-2/MP2
in a program stream (re-encode path), and MPEG-2/MP2 in MPEG-TS with corrupt bytes
sprinkled through it (re-encode path; the decoder warns thousands of times). Each is
converted by qm.bat (wine cmd /c) and by a bare ffmpeg.exe doing the same work, both
with output on one pipe like the program's log box; the best of --repeat runs is
printed with the ratio and the bytes that reached the console. Figures, not a
pass/fail verdict.

    bench/bench_qm.py [--bin-dir DIR] [--qm qm.bat] [--ffmpeg ffmpeg.exe] [--repeat N] [--keep]
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, ".."))

# What qm.bat's re-encode path asks of ffmpeg, so the bare run does the same work.
ENCODE = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-pix_fmt", "yuv420p",
          "-vf", "scale=trunc(iw/2)*2:trunc(ih/2)*2", "-c:a", "aac", "-b:a", "128k",
          "-movflags", "+faststart"]


# The Wine helpers are the script tests' own.
sys.path.insert(0, os.path.join(REPO, "tests", "script"))
os.environ.setdefault("WINEPREFIX", os.path.join(REPO, "build", "wineprefix"))
from test_qm_bat import start_wine_keeper, stop_wine_keeper, wine_env, winpath  # noqa: E402


def timed(args, cwd, timeout=1800):
    """Runs args with stdout+stderr on one pipe, like the program's log box; returns
    (seconds until the program ended, exit code, output bytes). The output is read to
    its end, but qm.bat's progress reporter may hold the pipe a second after the
    script ended, which is not the script's time."""
    out = bytearray()
    t = time.monotonic()
    proc = subprocess.Popen(["timeout", "-k", "5", str(timeout)] + args, cwd=cwd, env=wine_env(),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    reader = threading.Thread(target=lambda: out.extend(proc.stdout.read()))
    reader.start()
    rc = proc.wait()
    took = time.monotonic() - t
    reader.join()
    return took, rc, bytes(out)


def make(path, args):
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args + [path],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode:
        sys.exit("making %s failed: %s" % (path, r.stdout.decode(errors="replace")))


def damage(src, dst, every=20000, seed=7):
    """Overwrites a few bytes every `every` bytes: a recording with many bad spots."""
    rnd = random.Random(seed)
    data = bytearray(open(src, "rb").read())
    for pos in range(every, len(data) - 16, every):
        data[pos:pos + 12] = bytes(rnd.randrange(256) for _ in range(12))
    open(dst, "wb").write(data)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir")
    ap.add_argument("--qm")
    ap.add_argument("--ffmpeg")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each, the fastest counts")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--tmp", help="where to put the work folder (default /dev/shm)")
    opts = ap.parse_args()
    qm = next(p for p in [opts.qm, opts.bin_dir and os.path.join(opts.bin_dir, "qm.bat"),
                          os.path.join(REPO, "scripts", "qm.bat")] if p and os.path.isfile(p))
    ff = next((p for p in [opts.ffmpeg, os.environ.get("KSM_FFMPEG"),
                           opts.bin_dir and os.path.join(opts.bin_dir, "ffmpeg.exe"),
                           os.path.join(REPO, "build", "ffmpeg-win32", "ffmpeg.exe")]
               if p and os.path.isfile(p)), None)
    if not ff:
        sys.exit("no Windows ffmpeg.exe (run tools/setup or pass --ffmpeg)")
    ff = os.path.abspath(ff)

    # In memory when possible: disk writeback stalls (several seconds on a VM disk
    # when a file is overwritten) would drown the differences being measured.
    shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    work = tempfile.mkdtemp(prefix="qm-bench-", dir=opts.tmp or shm)
    keeper = None
    try:
        prog = os.path.join(work, "prog")
        os.makedirs(prog)
        shutil.copy(qm, os.path.join(prog, "qm.bat"))
        os.symlink(ff, os.path.join(prog, "ffmpeg.exe"))
        print("qm.bat %s, ffmpeg.exe %s, work folder %s" % (qm, ff, work))
        print("making the samples (60 s, 1280x720) ...", flush=True)
        src = ["-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25",
               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "60"]
        ts = os.path.join(work, "h264_aac.ksm")
        make(ts, src + ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast",
                        "-b:v", "4M", "-g", "50", "-c:a", "aac", "-b:a", "128k", "-f", "mpegts"])
        ps = os.path.join(work, "mpeg2_mp2.ksm")
        make(ps, src + ["-c:v", "mpeg2video", "-b:v", "8M", "-c:a", "mp2", "-b:a", "192k", "-f", "vob"])
        m2ts = os.path.join(work, "mpeg2_ts.ksm")
        make(m2ts, src + ["-c:v", "mpeg2video", "-b:v", "8M", "-c:a", "mp2", "-b:a", "192k",
                          "-f", "mpegts"])
        bad = os.path.join(work, "damaged.ksm")
        damage(m2ts, bad)
        os.remove(m2ts)

        keeper = start_wine_keeper(work)

        cases = [
            ("remux (H.264/AAC TS)", ts, ["-c", "copy"]),
            ("re-encode (MPEG-2/MP2 PS)", ps, ENCODE),
            ("damaged MPEG-2 TS (encode)", bad, ENCODE),
        ]
        print()
        print("%-28s %9s %9s %7s %9s %12s %12s" % ("case", "bare s", "qm.bat s", "ratio",
                                                   "extra s", "bare bytes", "qm bytes"))
        for name, path, codec in cases:
            bare_out = os.path.join(work, "bare.mp4")
            qm_out = os.path.join(work, "qm.mp4")
            bare, qmr = [], []
            for _ in range(max(1, opts.repeat)):
                for p in (bare_out, qm_out, qm_out + ".log"):
                    if os.path.exists(p):
                        os.remove(p)
                bare.append(timed(["wine", ff, "-nostdin", "-y", "-i", winpath(path)] + codec +
                                  [winpath(bare_out)], prog))
                qmr.append(timed(["wine", "cmd", "/c", "qm.bat", winpath(path), winpath(qm_out)], prog))
            tb, rb, ob = min(bare)
            tq, rq, oq = min(qmr)
            last = [l for l in oq.decode("cp1252", "replace").replace("\r", "").split("\n") if l.strip()]
            method = next((l for l in last if l.startswith("Method:")), "?")
            print("%-28s %9.2f %9.2f %6.2fx %9.2f %12d %12d" % (name, tb, tq, tq / tb, tq - tb,
                                                              len(ob), len(oq)))
            print("    bare exit %d; qm.bat exit %d, %s; %s" % (rb, rq, method, last[-1] if last else ""))
            for p in (bare_out, qm_out, qm_out + ".log"):
                if os.path.exists(p):
                    os.remove(p)
        print()
        print("goals: re-encode ratio <= 1.1x, damaged ratio <= 1.2x; remux extra seconds = qm.bat's fixed cost")
    finally:
        if keeper:
            stop_wine_keeper(keeper)
        if opts.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
