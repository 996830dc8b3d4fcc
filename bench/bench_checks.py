#!/usr/bin/env python3
"""What checking the result costs, under Wine.

  remux   a 60 s 1280x720 H.264/AAC TS and the same looped to about 1 GiB: qm.bat and bare
          ffmpeg.exe -c copy taking turns, --repeat rounds; medians. On qm.bat's MP4: the
          engine's own reading of its first and last second (framing_bench.exe, what qm.bat
          does for a copy), and the decode of them it spares (ffmpeg.exe with the engine's
          arguments; qm.bat runs it only when its reading finds something).
  reorder the frame-order question on a 60 s H.264 AVI (asked of the copied MP4): ffmpeg's
          trace of its parameter sets, against the decode of the first 120 frames it replaces

Figures from one run, not a pass/fail verdict.

    bench/bench_checks.py --bin-dir DIR [--repeat N] [--skip-big] [--keep]
"""

import argparse
import os
import shutil
import statistics
import sys

import benchkit
import qmkit
import recordings
from qmkit import winpath

ENDS = ["-hide_banner", "-nostdin", "-v", "error", "-t", "1", "-i", "{0}", "-sseof", "-1", "-i", "{0}",
        "-map", "0", "-map", "1", "-f", "null", "-"]


def ends_check(mp4):
    return [a.format(winpath(mp4)) for a in ENDS]


def remux_rounds(label, prog, ffmpeg, src, rounds):
    work = os.path.dirname(src)
    target, bare = os.path.join(work, "qm.mp4"), os.path.join(work, "bare.mp4")
    rows = []
    for _ in range(rounds):
        for p in (target, bare):
            if os.path.exists(p):
                os.remove(p)
        tb, rb, _ = benchkit.wine(["wine", ffmpeg, "-nostdin", "-y", "-i", winpath(src), "-c", "copy", winpath(bare)],
                                 prog)
        run = benchkit.run_qm(prog, winpath(src), winpath(target), timeout=1800)
        if run.rc != 0:
            sys.exit("qm.bat did not convert %s: %r" % (src, run))
        tc, rc, out = benchkit.wine(["wine", ffmpeg] + ends_check(target), prog)
        _, _, read = benchkit.wine(["wine", os.path.join(prog, "framing_bench.exe"), winpath(target)], prog)
        reading = read.decode(errors="replace").strip()
        print("  %-6s bare %6.2f s (exit %d) | qm.bat %6.2f s | its own reading of the ends %s | the decode it "
              "spares %5.2f s (exit %d%s)" % (label, tb, rb, run.seconds, reading, tc, rc,
                                               ", complaints" if out.strip() else ""), flush=True)
        rows.append({"bare": tb, "qm": run.seconds, "check": tc, "reading": float(reading.split()[0]) / 1000})
    return rows


def med(rows, key):
    return statistics.median(r[key] for r in rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-big", action="store_true")
    ap.add_argument("--keep", action="store_true")
    opts = ap.parse_args()
    prog = benchkit.program_folder(opts.bin_dir, "bench_checks")
    ffmpeg = os.path.join(prog, "ffmpeg.exe")
    work = benchkit.scratch_folder("qm-bench-checks-")
    try:
        ts = os.path.join(work, "remux.ksm")
        recordings.make_long_ts(ts)
        results = [("60 s", os.path.getsize(ts), remux_rounds("60 s", prog, ffmpeg, ts, opts.repeat))]
        if not opts.skip_big and shutil.disk_usage(work).free > 4 * 2 ** 30:
            big = os.path.join(work, "big.ksm")
            benchkit.looped(ts, big, 1)
            results.append(("1 GiB", os.path.getsize(big), remux_rounds("1 GiB", prog, ffmpeg, big, opts.repeat)))
            os.remove(big)

        avi = os.path.join(work, "reorder.avi")
        recordings.ffmpeg(recordings.video_in("1280x720", 25, 60) + ["-c:v", "libx264", "-preset", "veryfast",
                                                                     "-bf", "3", "-f", "avi", avi])
        mp4 = os.path.join(work, "reorder.mp4")
        recordings.ffmpeg(["-i", avi, "-c", "copy", mp4])
        trace = ["-hide_banner", "-nostdin", "-i", winpath(mp4), "-map", "0:v:0", "-c", "copy", "-bsf:v",
                 "trace_headers", "-frames:v", "1", "-f", "null", "-"]
        sample = ["-hide_banner", "-nostdin", "-i", winpath(mp4), "-map", "0:v:0", "-frames:v", "120", "-f", "null", "-"]
        order = [{"trace": benchkit.wine(["wine", ffmpeg] + trace, prog)[0],
                  "sample": benchkit.wine(["wine", ffmpeg] + sample, prog)[0]} for _ in range(opts.repeat)]

        print("\nresults (medians):")
        for label, size, rows in results:
            reading = med(rows, "reading")
            print("  %s remux: qm.bat %.2f s, bare %.2f s: +%.2f s, %.3fx; the check (the engine's own reading) "
                  "%.3f s = %.1f%% of qm.bat; the decode it spares %.2f s"
                  % (label, med(rows, "qm"), med(rows, "bare"), med(rows, "qm") - med(rows, "bare"),
                     med(rows, "qm") / med(rows, "bare"), reading, 100 * reading / med(rows, "qm"),
                     med(rows, "check")))
        print("  frame order of a copied 720p H.264: trace of its parameter sets %.2f s; decoding its first 120 "
              "frames %.2f s" % (med(order, "trace"), med(order, "sample")))
    finally:
        if not opts.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
