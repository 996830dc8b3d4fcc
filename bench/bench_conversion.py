#!/usr/bin/env python3
"""What the program costs on top of ffmpeg, under Wine, measured through its window.

Three 60-second 1280x720 recordings, each converted by the program (the file chosen in
the open-file dialog, then timed from the click on "Start Conversion" to the final
"Conversion succeeded/failed" line in the log box) and by the same Windows ffmpeg.exe
run bare on the same file with the same work, back to back:

  remux       H.264/AAC MPEG-TS; bare: ffmpeg -nostdin -i in -c copy -movflags +faststart out.mp4
  re-encode   MPEG-2/MP2 program stream; bare: qm.bat's own re-encode options
  damaged     MPEG-2/MP2 TS with bytes overwritten throughout (thousands of decoder
              warnings); bare: the same re-encode options, warnings on a pipe

The log box is read through WindowProbe.exe (a Wine program, ~0.1 s a look), so the
moment the last line appeared is known to about that much. Looks cost CPU that ffmpeg
would use, so they are rare until the target file appears (qm.bat moves it into place
just before its last line; watched every 5 ms), and back to back from then on. Figures
from one run on a busy 2-core machine, printed raw and as ratios; not a pass/fail test.

    python3 bench/bench_conversion.py --bin-dir build/bin [--remux-pairs N] [--keep]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

import realkit  # noqa: E402
from realkit import guikit  # noqa: E402


class FileWatch(threading.Thread):
    """Notes when `path` first exists, and raises `appeared`."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.seen = None
        self.appeared = threading.Event()
        self.stopping = False

    def run(self):
        while not self.stopping and self.seen is None:
            if os.path.exists(self.path):
                self.seen = time.monotonic()
                self.appeared.set()
                return
            time.sleep(0.005)

    def stop(self):
        self.stopping = True
        self.join()


def through_program(app, source, target):
    """One conversion through the window; returns a dict of times (s after the click)."""
    for path in (target, target + ".log"):
        if os.path.exists(path):
            os.remove(path)
    app.choose(source)
    watch = FileWatch(target)
    watch.start()
    looks = []   # (start, end, saw it) of each look at the log

    def look():
        started = time.monotonic()
        text = app.log()
        ended = time.monotonic()
        found = realkit.final_lines(text)
        looks.append((started, ended, bool(found)))
        return text, found

    clicked = app.press_start()
    deadline = clicked + 1800
    while True:
        text, found = look()
        if found:
            break
        if time.monotonic() > deadline:
            raise RuntimeError("no final line after 30 minutes")
        # Each look is a Wine process and takes CPU from ffmpeg: while the target is not
        # there, look only every 2 s (a failure's last line is seen that late); from the
        # moment it is there (the last line follows at once), back to back.
        watch.appeared.wait(2.0)
    watch.stop()
    seen_end = looks[-1][1]
    before = looks[-2][1] if len(looks) > 1 else clicked
    if watch.seen is not None:
        # The line is printed after the target was moved into place.
        before = max(before, watch.seen)
    app.wait_conversions_end(60)
    return {
        "line": seen_end - clicked,          # the look that saw the line had returned
        "line_after": before - clicked,      # the look before it had not seen it
        "file": (watch.seen - clicked) if watch.seen else None,
        "final": found[-1],
        "log_chars": len(text),
        "log_lines": text.count("\n"),
    }


def bare(ffmpeg, folder, source, target, options):
    """The Windows ffmpeg.exe alone, its output on a pipe as a console would take it."""
    if os.path.exists(target):
        os.remove(target)
    args = ["timeout", "-k", "5", "1800", "wine", ffmpeg, "-nostdin", "-y", "-i",
            guikit.windows_path(source)] + options + [guikit.windows_path(target)]
    started = time.monotonic()
    r = subprocess.run(args, cwd=folder, env=guikit.wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    took = time.monotonic() - started
    if r.returncode != 0:
        raise RuntimeError("bare ffmpeg failed (%d): %s" % (r.returncode, r.stdout[-2000:].decode(errors="replace")))
    return {"time": took, "output_bytes": len(r.stdout),
            "output_lines": r.stdout.count(b"\n")}


def show_pair(name, b, p):
    extra = ""
    if p["file"] is not None:
        extra = ", target file at %.2f s" % p["file"]
    print("  %-10s bare ffmpeg %7.2f s | program %7.2f s (line seen; not yet at %.2f s%s)"
          % (name, b["time"], p["line"], p["line_after"], extra), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True, help="folder with ksmConverter.exe, qm.bat, ffmpeg.exe, WindowProbe.exe")
    ap.add_argument("--remux-pairs", type=int, default=3, help="remux pairs (they are short); default 3")
    ap.add_argument("--pairs", type=int, default=1, help="re-encode and damaged pairs; default 1")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    opts = ap.parse_args()
    bin_dir = os.path.abspath(opts.bin_dir)
    for name in ("ksmConverter.exe", "qm.bat", "ffmpeg.exe", "WindowProbe.exe"):
        if not os.path.isfile(os.path.join(bin_dir, name)):
            sys.exit("bench_conversion: no %s in %s (run tools/setup and tools/build)" % (name, bin_dir))
    os.environ.setdefault("WINEPREFIX", os.path.join(REPO, "build", "wineprefix"))
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    prefix = os.environ["WINEPREFIX"]

    xvfb = None
    if not realkit.display_works(os.environ.get("DISPLAY")):
        xvfb, os.environ["DISPLAY"] = realkit.start_xvfb()
    own_server = not realkit.wineserver_running(prefix)
    encode = realkit.qm_encode_options(os.path.join(bin_dir, "qm.bat"))
    ffmpeg = os.path.realpath(os.path.join(bin_dir, "ffmpeg.exe"))

    # In memory when possible: disk writeback stalls would drown the differences. Wine's
    # open-file dialog says "Path does not exist" for Z:\dev\shm\..., so the folder is
    # reached through a link in /tmp.
    if os.access("/dev/shm", os.W_OK):
        real_work = tempfile.mkdtemp(prefix="ksm-bench-", dir="/dev/shm")
        work = os.path.join(tempfile.gettempdir(), os.path.basename(real_work))
        os.symlink(real_work, work)
    else:
        real_work = work = tempfile.mkdtemp(prefix="ksm-bench-")
    app = None
    try:
        print("work folder %s, display %s, prefix %s" % (work, os.environ["DISPLAY"], prefix))
        print("qm.bat re-encode options: %s" % " ".join(encode))
        print("making the recordings (60 s, 1280x720) ...", flush=True)
        ts = realkit.make_h264_ts(os.path.join(work, "h264 aac.ksm"), seconds=60)
        ps = realkit.make_mpeg2_ps(os.path.join(work, "mpeg2 mp2.ksm"), seconds=60)
        bad = realkit.make_damaged_mpeg2_ts(os.path.join(work, "damaged.ksm"), seconds=60)

        desktop = guikit.Desktop(bin_dir)
        app = realkit.Program(desktop, bin_dir=bin_dir, parent=work)
        app.start()
        bare_out = os.path.join(work, "bare.mp4")
        # A first bare run so neither side pays for a cold file cache or Wine's first start.
        bare(ffmpeg, app.folder, ts, bare_out, ["-c", "copy", "-movflags", "+faststart"])

        def pairs(label, count, source, options):
            """`count` pairs (at least one) of a bare ffmpeg run and a run through the window."""
            print("\n%s, %d pair(s):" % (label, count), flush=True)
            runs = []
            for _ in range(max(1, count)):
                b = bare(ffmpeg, app.folder, source, bare_out, options + ["-movflags", "+faststart"])
                p = through_program(app, source, source[:-3] + "mp4")
                show_pair(label, b, p)
                runs.append((b, p))
            return runs

        remux = pairs("remux", opts.remux_pairs, ts, ["-c", "copy"])
        reenc = pairs("re-encode", opts.pairs, ps, encode)
        damaged = pairs("damaged", opts.pairs, bad, encode)
        for b, p in damaged:
            print("             bare ffmpeg printed %d lines (%d bytes); the log box ends with %d "
                  "characters in %d lines" % (b["output_lines"], b["output_bytes"], p["log_chars"],
                                              p["log_lines"]), flush=True)
            print("             %s" % p["final"], flush=True)

        for label, runs in (("remux", remux), ("re-encode", reenc), ("damaged", damaged)):
            for _, p in runs:
                if not p["final"].startswith("Conversion succeeded"):
                    print("NOTE: %s ended with %r" % (label, p["final"]))

        def med(values):
            return statistics.median(values)

        overhead = med([p["line"] - b["time"] for b, p in remux])
        overhead_file = med([p["file"] - b["time"] for b, p in remux if p["file"] is not None] or [float("nan")])
        remux_program = med([p["line"] for _, p in remux])
        reenc_ratio = med([p["line"] / b["time"] for b, p in reenc])
        damaged_ratio = med([p["line"] / b["time"] for b, p in damaged])
        print("\nresults (medians where there are several pairs):")
        print("  remux click->done overhead over bare ffmpeg: %.2f s (goal <= 0.5 s); "
              "to the target file: %.2f s" % (overhead, overhead_file))
        print("  remux through the program is %.1fx faster than the re-encode through it "
              "(%.2f s vs %.2f s for the same 60 s of 720p)"
              % (med([p["line"] for _, p in reenc]) / remux_program, remux_program,
                 med([p["line"] for _, p in reenc])))
        print("  re-encode program / bare: %.3fx (goal <= 1.1x)" % reenc_ratio)
        print("  damaged program / bare: %.3fx (goal <= 1.2x); log box %d characters at the end"
              % (damaged_ratio, damaged[-1][1]["log_chars"]))
        print("  (the log is read ~every 0.1 s: the program times are good to about that much)")
    finally:
        if app is not None:
            try:
                app.done()
            except Exception:  # the window may be gone already; cleanup ends the rest
                pass
            app.cleanup()
        if own_server:
            realkit.stop_wineserver(prefix)
        realkit.stop_process(xvfb)
        if opts.keep:
            print("kept %s" % work)
        else:
            shutil.rmtree(real_work, ignore_errors=True)
            if work != real_work:
                os.remove(work)


if __name__ == "__main__":
    main()
