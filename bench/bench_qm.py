#!/usr/bin/env python3
"""What qm.bat (and the qmconvert.exe it runs) costs on top of ffmpeg.exe alone, under Wine.

Each pair runs qm.bat (wine cmd /c) and the same ffmpeg.exe bare on the same recording,
back to back, output on one pipe; medians of the pairs and their ratios, all measured in
this one run. Figures, not a pass/fail verdict.

  remux      60 s 1280x720 H.264/AAC TS; bare: ffmpeg -i in -c copy out.mp4; between the two
             a stand-in qm.bat that only runs that ffmpeg (the interpreter's own cost)
  typed      the remux typed into a running cmd.exe as the window does (from that line to the
             final line), against bare ffmpeg again
  re-encode  60 s (--seconds) 1280x720 MPEG-2/MP2 PS; bare: the arguments qm.bat's ffmpeg ran with
             (read from the running process), same settings, same work
  damaged    the same as MPEG-2/MP2 TS with bytes overwritten throughout (thousands of
             ffmpeg warnings); bare: qm.bat's arguments again
  1 GiB      the remux recording looped to about 1 GiB (made here, deleted afterwards),
             remuxed (with the stand-in between), next to a plain file copy of it (Wine's copy)
             and bare ffmpeg with +faststart (the index moved in a second pass)
  4 GiB      the remux recording looped past 4 GiB (on disk under build/), once each; the MP4
             must use 64-bit offsets, hold every packet and decode at its end
  gap        the motion-triggered MPEG-2 recording with a 60 s gap: frames out / frames in

    bench/bench_qm.py --bin-dir DIR [--pairs N] [--big-pairs N] [--seconds S] [--skip-big] [--keep]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "script"))

import benchkit  # noqa: E402
import qmkit  # noqa: E402
import recordings  # noqa: E402
from qmkit import winpath  # noqa: E402


def timed(args, cwd, timeout=3600):
    """Runs args (stdout and stderr into one file); returns (seconds, exit code, output bytes)."""
    return benchkit.wine(args, cwd, timeout)


def bare_args(args, output):
    """qm.bat's ffmpeg arguments writing to `output` (the output is the last argument)."""
    return args[:-1] + [winpath(output)]


def pairs(label, count, prog, ffmpeg, source, bare, remove, standin=None, others=()):
    """`count` rounds of bare ffmpeg, then (with `standin`, a batch file) the stand-in, then
    qm.bat, then each of `others` ((name, ffmpeg arguments) run like bare); prints each,
    returns [{"bare": s, "qm": s, "stand-in": s, name: s, ...}]."""
    out = []
    target = os.path.join(os.path.dirname(source), "qm.mp4")
    for _ in range(max(1, count)):
        for p in remove + [target]:
            if os.path.exists(p):
                os.remove(p)
        row = {}
        row["bare"], rb, ob = timed(["wine", ffmpeg] + bare, prog)
        between = ""
        if standin:
            row["stand-in"], rs, _ = timed(["wine", "cmd", "/c", winpath(standin), winpath(source), winpath(target)],
                                           prog)
            os.remove(target)
            between = "| stand-in %5.2f s (exit %d) " % (row["stand-in"], rs)
        row["qm"], rq, oq = timed(["wine", "cmd", "/c", "qm.bat", winpath(source), winpath(target)], prog)
        final = qmkit.Run(rq, oq, row["qm"]).final
        rest = ""
        for name, args in others:
            row[name], ro, _ = timed(["wine", ffmpeg] + args, prog)
            rest += "| %s %5.2f s (exit %d) " % (name, row[name], ro)
        print("  %-10s bare %7.2f s (exit %d, %d bytes out) %s| qm.bat %7.2f s (exit %d) %s%s"
              % (label, row["bare"], rb, len(ob), between, row["qm"], rq, rest, final[:50]), flush=True)
        out.append(row)
    for p in remove + [target]:
        if os.path.exists(p):
            os.remove(p)
    return out


def huge_remux(prog, ffmpeg, folder, ts):
    """A recording over 4 GiB (64-bit chunk offsets in the MP4): qm.bat against bare ffmpeg
    once each; the MP4 must hold every packet, use co64, and decode at its end."""
    src = os.path.join(folder, "huge.ksm")
    loops = benchkit.looped(ts, src, 4.3, past=True, timeout=3600)
    bare_out, target = os.path.join(folder, "bare.mp4"), os.path.join(folder, "huge.mp4")
    tb, _, _ = timed(["wine", ffmpeg, "-nostdin", "-y", "-i", winpath(src), "-c", "copy", winpath(bare_out)], prog)
    os.remove(bare_out)
    tq, rq, oq = timed(["wine", "cmd", "/c", "qm.bat", winpath(src), winpath(target)], prog)
    verdict = qmkit.Run(rq, oq, tq).final
    if rq == 0:
        with open(target, "rb") as f:
            head = f.read(8 * 2 ** 20)   # the index comes first
        packets_in = sum(s["packets"] for s in recordings.probe(src)["streams"])
        packets_out = sum(s["packets"] for s in recordings.probe(target)["streams"])
        r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-xerror", "-sseof", "-20", "-i", target,
                            "-f", "null", "-"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        verdict += "; co64 %s, packets %d of %d, the last 20 s decode %s" % (
            "yes" if b"co64" in head else "NO", packets_out, packets_in,
            "cleanly" if r.returncode == 0 and not r.stdout.strip() else "WITH ERRORS: %r" % r.stdout[:200])
    for p in (src, target):
        if os.path.exists(p):
            os.remove(p)
    return os.path.getsize(ts) * loops, tb, tq, verdict


def med(values):
    return statistics.median(values)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--pairs", type=int, default=3, help="pairs of each kind (medians); default 3")
    ap.add_argument("--big-pairs", type=int, default=3)
    ap.add_argument("--seconds", type=int, default=60, help="length of the re-encode and damaged recordings")
    ap.add_argument("--skip-big", action="store_true", help="leave out the 1 GiB recording")
    ap.add_argument("--keep", action="store_true")
    opts = ap.parse_args()
    prog = benchkit.program_folder(opts.bin_dir, "bench_qm")
    ffmpeg = os.path.join(prog, "ffmpeg.exe")
    work = benchkit.scratch_folder("qm-bench-")
    keeper = None
    try:
        print("work folder %s; making the recordings ..." % work, flush=True)
        ts = os.path.join(work, "remux 720p.ksm")
        recordings.make_long_ts(ts)
        ps = os.path.join(work, "mpeg2 720p.ksm")
        recordings.make_long_mpeg2_ps(ps, seconds=opts.seconds)
        bad = os.path.join(work, "damaged.ksm")
        recordings.make_damaged_ts(bad, seconds=opts.seconds)
        keeper = qmkit.start_keeper(work)
        bare_out = os.path.join(work, "bare.mp4")
        # Warm-up: Wine's first start and a cold file cache count for neither side.
        timed(["wine", ffmpeg, "-nostdin", "-y", "-i", winpath(ts), "-c", "copy", winpath(bare_out)], prog)

        # The least any qm.bat costs: the interpreter and one bare ffmpeg.
        standin = os.path.join(work, "stand-in.bat")
        with open(standin, "w", newline="") as f:
            f.write('@"%s" -nostdin -y -i %%1 -c copy %%2\r\n' % winpath(ffmpeg))
        print("\nremux, %d triples:" % opts.pairs, flush=True)
        deep = ["-nostdin", "-y", "-analyzeduration", "120M", "-probesize", "256M", "-i", winpath(ts), "-c", "copy",
                winpath(bare_out)]
        faststart = ["-nostdin", "-y", "-i", winpath(ts), "-c", "copy", "-movflags", "+faststart", winpath(bare_out)]
        remux = pairs("remux", opts.pairs, prog, ffmpeg, ts,
                      ["-nostdin", "-y", "-i", winpath(ts), "-c", "copy", winpath(bare_out)], [bare_out], standin,
                      [("faststart", faststart), ("deep probe", deep)])

        # The window types qm.bat into an interpreter that is already running: timed from
        # that line to the final line.
        print("\nremux typed into a running interpreter, %d pairs:" % opts.pairs, flush=True)
        typed = []
        target = os.path.join(work, "qm.mp4")
        for _ in range(max(1, opts.pairs)):
            tb, _, _ = timed(["wine", ffmpeg, "-nostdin", "-y", "-i", winpath(ts), "-c", "copy", winpath(bare_out)],
                             prog)
            run = benchkit.run_qm_typed(prog, winpath(ts), winpath(target))
            print("  typed      bare %7.2f s | qm.bat %7.2f s %s" % (tb, run.seconds, run.final[:60]), flush=True)
            typed.append((tb, run.seconds))
            os.remove(target)

        results = {}
        for label, src in (("re-encode", ps), ("damaged", bad)):
            run, cmd, _ = benchkit.qm_watched(prog, src, os.path.join(work, "probe.mp4"))
            if run.rc != 0 or not cmd:
                sys.exit("qm.bat did not convert %s: %r" % (src, run))
            os.remove(os.path.join(work, "probe.mp4"))
            args = bare_args(cmd, bare_out)
            method = next((l for l in run.lines if l.startswith("Method:")), "?")
            print("\n%s, %d pairs; qm.bat's %s; its ffmpeg ran: %s"
                  % (label, opts.pairs, method, " ".join(args)), flush=True)
            results[label] = pairs(label, opts.pairs, prog, ffmpeg, src, args, [bare_out])
            if label == "damaged":
                _, _, noise = timed(["wine", ffmpeg] + args, prog)
                print("  bare ffmpeg printed %d lines on the damaged recording"
                      % noise.count(b"\n"), flush=True)

        gap = os.path.join(work, "gap.ksm")
        recordings.make_gap_ts(gap)
        gap_out = os.path.join(work, "gap.mp4")
        run = benchkit.run_qm(prog, winpath(gap), winpath(gap_out), timeout=600)
        frames_in = recordings.streams_of(recordings.probe(gap), "video")[0]["packets"]
        frames_out = recordings.streams_of(recordings.probe(gap_out), "video")[0]["packets"] if run.rc == 0 else 0

        big = None
        if not opts.skip_big:
            os.remove(ps)
            free = shutil.disk_usage(work).free
            if free < 4 * 2 ** 30:
                print("\n1 GiB: skipped, only %.1f GiB free in %s" % (free / 2 ** 30, work))
            else:
                big_src = os.path.join(work, "big.ksm")
                benchkit.looped(ts, big_src, 1)
                size = os.path.getsize(big_src)
                print("\n1 GiB: %.2f GiB, %d pairs:" % (size / 2 ** 30, opts.big_pairs), flush=True)
                big = pairs("1 GiB", opts.big_pairs, prog, ffmpeg, big_src,
                            ["-nostdin", "-y", "-i", winpath(big_src), "-c", "copy", winpath(bare_out)], [bare_out],
                            standin, [("faststart", ["-nostdin", "-y", "-i", winpath(big_src), "-c", "copy",
                                                     "-movflags", "+faststart", winpath(bare_out)])])
                copies = []
                copy = os.path.join(work, "copy.ksm")
                for _ in range(max(1, opts.big_pairs)):
                    t, _, _ = timed(["wine", "cmd", "/c", "copy", "/b", "/y", winpath(big_src), winpath(copy)], prog)
                    copies.append(t)
                    os.remove(copy)
                os.remove(big_src)

        huge = None
        if not opts.skip_big:
            # On disk: three copies of over 4 GiB do not fit in memory.
            disk = tempfile.mkdtemp(prefix="qm-bench-huge-", dir=os.path.join(REPO, "build"))
            try:
                if shutil.disk_usage(disk).free < 14 * 2 ** 30:
                    print("\nover 4 GiB: skipped, less than 14 GiB free in %s" % disk)
                else:
                    print("\nover 4 GiB: making the recording ...", flush=True)
                    huge = huge_remux(prog, ffmpeg, disk, ts)
                    print("  %.2f GiB: bare %.1f s, qm.bat %.1f s: %s" % (huge[0] / 2 ** 30, huge[1], huge[2], huge[3]),
                          flush=True)
            finally:
                shutil.rmtree(disk, ignore_errors=True)

        print("\nresults (medians):")
        def col(rows, name):
            return med([r[name] for r in rows])

        def ratio(rows, a, b="bare"):
            return med([r[a] / r[b] for r in rows])
        print("  remux (index first): qm.bat %.2f s, bare ffmpeg -c copy (index last) %.2f s: +%.2f s, %.3fx "
              "(goal <= 0.15 s); bare +faststart %.3fx"
              % (col(remux, "qm"), col(remux, "bare"), med([r["qm"] - r["bare"] for r in remux]),
                 ratio(remux, "qm"), ratio(remux, "faststart")))
        print("    of which the interpreter with one bare ffmpeg (a stand-in qm.bat): +%.2f s; the rest, "
              "qm.bat's engine: +%.2f s" % (med([r["stand-in"] - r["bare"] for r in remux]),
                                            med([r["qm"] - r["stand-in"] for r in remux])))
        print("    a deeper look on every recording (-analyzeduration 120M -probesize 256M) / bare: %.3fx "
              "(qm.bat looks deeper only when a video's picture is not found)" % ratio(remux, "deep probe"))
        print("  remux, qm.bat typed into a running interpreter (as the window does): %.2f s, bare %.2f s: +%.2f s"
              % (med([q for _, q in typed]), med([b for b, _ in typed]), med([q - b for b, q in typed])))
        for label, goal in (("re-encode", 1.05), ("damaged", 1.1)):
            r = results[label]
            print("  %s: qm.bat / bare, same settings: %.3fx (%.1f s vs %.1f s; goal <= %.2fx)"
                  % (label, ratio(r, "qm"), col(r, "qm"), col(r, "bare"), goal))
        if big:
            print("  1 GiB remux: qm.bat (index first) / bare (index last): %.3fx (%.1f s vs %.1f s; goal <= 1.05x); "
                  "bare +faststart %.3fx; plain copy %.1f s (%.3fx)"
                  % (ratio(big, "qm"), col(big, "qm"), col(big, "bare"), ratio(big, "faststart"), med(copies),
                     med(copies) / col(big, "bare")))
            print("    the stand-in qm.bat / bare: %.3fx; qm.bat / the stand-in: %.3fx"
                  % (ratio(big, "stand-in"), ratio(big, "qm", "stand-in")))
        if huge:
            print("  over 4 GiB (%.1f GiB) remux: qm.bat / bare %.3fx (%.1f s vs %.1f s); %s"
                  % (huge[0] / 2 ** 30, huge[2] / huge[1], huge[2], huge[1], huge[3]))
        print("  gap recording re-encoded: %d frames out / %d in = %.3f (goal <= 1.05); %s"
              % (frames_out, frames_in, frames_out / frames_in, run.final))
    finally:
        if keeper:
            qmkit.stop_keeper(keeper)
        if opts.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
