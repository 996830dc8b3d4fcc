#!/usr/bin/env python3
"""What the bounds on a stranger's file cost, under Wine.

  remux   a 60 s 1280x720 H.264/AAC TS and the same looped to about 1 GiB: bare ffmpeg.exe
          -c copy to MP4 without and with the bounds qm.bat's ffmpeg ran with (read from a
          qm.bat run of the same file: -format_whitelist, -protocol_whitelist, -max_streams,
          -max_pixels, -threads before -i, -fs after), and qm.bat itself, taking turns,
          --repeat rounds; medians and the medians of each round's ratios
  memory  the most memory ffmpeg.exe held (VmHWM/VmRSS of its Linux process, looked at
          every 50 ms) against the 1536 MiB the engine allows it: on a raw H.264 stream
          declaring a 16000x12000 picture (tests/script/hostile.py), and on a 10 s
          3840x2160 MPEG-2 recording that qm.bat re-encodes; with the -threads it passed

Figures from one run, not a pass/fail verdict.

    bench/bench_bounds.py --bin-dir DIR [--repeat N] [--skip-big] [--keep]
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile

import benchkit
import qmkit
import recordings
from qmkit import winpath

CAP = 1536 * 2 ** 20
# The input options the bounds consist of, each with its value; -fs is the output's.
INPUT_BOUNDS = ("-format_whitelist", "-protocol_whitelist", "-max_streams", "-max_pixels", "-threads")


def bounds_of(args):
    """(options before -i, options after it) of the bounds in qm.bat's ffmpeg arguments."""
    i = args.index("-i")
    before = [x for k in range(0, i - 1) if args[k] in INPUT_BOUNDS for x in args[k:k + 2]]
    after = [x for k in range(i, len(args) - 1) if args[k] == "-fs" for x in args[k:k + 2]]
    return before, after


def option(args, name):
    return args[args.index(name) + 1] if args and name in args else "none"


def remux_rounds(label, prog, ffmpeg, src, rounds):
    """Bare without the bounds, bare with them, qm.bat, taking turns; prints each round,
    returns [{"bare": s, "bounded": s, "qm": s}]."""
    work = os.path.dirname(src)
    target, out = os.path.join(work, "qm.mp4"), os.path.join(work, "bare.mp4")
    run, args, _ = benchkit.qm_watched(prog, src, target, every=0.02)
    if run.rc != 0 or not args:
        sys.exit("qm.bat did not convert %s: %r" % (src, run))
    before, after = bounds_of(args)
    print("%s: qm.bat's bounds: %s -i ... %s" % (label, " ".join(before), " ".join(after)), flush=True)
    plain = ["-nostdin", "-y", "-i", winpath(src), "-c", "copy", winpath(out)]
    bounded = ["-nostdin", "-y"] + before + ["-i", winpath(src), "-c", "copy"] + after + [winpath(out)]
    runs = [("bare", ["wine", ffmpeg] + plain), ("bounded", ["wine", ffmpeg] + bounded),
            ("qm", ["wine", "cmd", "/c", "qm.bat", winpath(src), winpath(target)])]
    rows = []
    for n in range(max(1, rounds)):
        row = {}
        for name, cmd in runs[n % 3:] + runs[:n % 3]:   # each first in turn: no place is favoured
            for p in (out, target):
                if os.path.exists(p):
                    os.remove(p)
            row[name], rc, data = benchkit.wine(cmd, prog, 3600)
            if rc != 0:
                sys.exit("%s: %s failed (%d): %s" % (label, name, rc, data[-2000:].decode(errors="replace")))
        print("  %-6s bare %7.2f s | bounded %7.2f s | qm.bat %7.2f s" % (label, row["bare"], row["bounded"], row["qm"]),
              flush=True)
        rows.append(row)
    for p in (out, target):
        if os.path.exists(p):
            os.remove(p)
    return rows


def memory(label, prog, src):
    run, args, peak = benchkit.qm_watched(prog, src, src + ".mp4")
    method = next((l for l in run.lines if l.startswith("Method:")), "")
    print("  %-22s ffmpeg.exe peak %6.0f MiB = %.3f of the cap; -threads %s; %.1f s; %s%s"
          % (label, peak / 2 ** 20, peak / CAP, option(args, "-threads"), run.seconds,
             method + "; " if method else "", run.final or "no final line (exit %d)" % run.rc), flush=True)
    if os.path.exists(src + ".mp4"):
        os.remove(src + ".mp4")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--repeat", type=int, default=5, help="rounds of each remux (medians); default 5")
    ap.add_argument("--skip-big", action="store_true", help="leave out the 1 GiB recording")
    ap.add_argument("--keep", action="store_true")
    opts = ap.parse_args()
    prog = benchkit.program_folder(opts.bin_dir, "bench_bounds")
    ffmpeg = os.path.join(prog, "ffmpeg.exe")
    work = benchkit.scratch_folder("bounds-bench-")
    keeper = None
    try:
        print("work folder %s; making the recordings ..." % work, flush=True)
        ts = os.path.join(work, "remux 720p.ksm")
        recordings.make_long_ts(ts)
        uhd = os.path.join(work, "mpeg2 2160p.ksm")
        recordings.make_long_mpeg2_ps(uhd, seconds=10, size="3840x2160")
        keeper = qmkit.start_keeper(work)
        benchkit.wine(["wine", ffmpeg, "-nostdin", "-y", "-i", winpath(ts), "-c", "copy",
                       winpath(os.path.join(work, "warm.mp4"))], prog)   # Wine's first start counts for neither
        os.remove(os.path.join(work, "warm.mp4"))

        results = [("60 s 720p", remux_rounds("60 s", prog, ffmpeg, ts, opts.repeat))]
        if not opts.skip_big:
            free = shutil.disk_usage(work).free
            if free < 4 * 2 ** 30:
                print("1 GiB: skipped, only %.1f GiB free in %s" % (free / 2 ** 30, work))
            else:
                big = os.path.join(work, "big.ksm")
                benchkit.looped(ts, big, 1)
                results.append(("%.2f GiB" % (os.path.getsize(big) / 2 ** 30),
                                 remux_rounds("1 GiB", prog, ffmpeg, big, opts.repeat)))
                os.remove(big)

        print("\nmemory of ffmpeg.exe against the engine's cap of %d MiB:" % (CAP // 2 ** 20), flush=True)
        try:
            import hostile   # the tests' crafted files
            huge = os.path.join(work, "huge picture.ksm")
            hostile.make_huge_picture_h264(huge)
            memory("16000x12000 raw H.264", prog, huge)
        except (ImportError, AttributeError) as e:
            print("  16000x12000 raw H.264: skipped (%s)" % e)
        memory("10 s 3840x2160 MPEG-2", prog, uhd)

        print("\nresults (medians of %d rounds; ratios are medians of each round's):" % opts.repeat)
        for label, rows in results:
            def med(name):
                return statistics.median(r[name] for r in rows)

            def ratio(a, b):
                return statistics.median(r[a] / r[b] for r in rows)
            print("  %-9s remux: bare with the bounds %.2f s / without %.2f s = %.3fx (goal <= 1.02x); "
                  "qm.bat %.2f s / bare %.3fx" % (label, med("bounded"), med("bare"), ratio("bounded", "bare"),
                                                 med("qm"), ratio("qm", "bare")))
    finally:
        if keeper:
            qmkit.stop_keeper(keeper)
        if opts.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
