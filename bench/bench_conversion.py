#!/usr/bin/env python3
"""Click -> final line through the real window, against bare ffmpeg, under Wine.

A 60-second 1280x720 H.264/AAC MPEG-TS is converted by the program (the file chosen in the
open-file dialog, then timed from the click on "Start Conversion" to the final
"Conversion succeeded/failed" line in the log box) and by the same Windows ffmpeg.exe run
bare (`ffmpeg -nostdin -i in -c copy out.mp4`), back to back, --pairs times; the median
overhead is printed. The program runs from the bin folder itself (qm.bat, qmconvert.exe and
ffmpeg.exe beside it, as in the release folder).

The log box is read through WindowProbe.exe (a Wine program, ~0.1 s a look), so the
moment the last line appeared is known to about that much. Looks cost CPU that ffmpeg
would use, so they are rare until the target file appears (the engine renames it into
place just before its last line; watched every 5 ms), and back to back from then on.
Figures from one run, printed raw and as a difference; not a pass/fail test.

    python3 bench/bench_conversion.py --bin-dir build/bin [--pairs N] [--keep]
"""

import argparse
import os
import re
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
    wait_engine_end(app, 60)
    return {
        "line": seen_end - clicked,          # the look that saw the line had returned
        "line_after": before - clicked,      # the look before it had not seen it
        "file": (watch.seen - clicked) if watch.seen else None,
        "final": found[-1],
        "log_chars": len(text),
        "log_lines": text.count("\n"),
    }


def wait_engine_end(app, timeout):
    """Waits until no qmconvert.exe or ffmpeg.exe of this program runs (qm.bat's interpreter
    has ended once they have)."""
    deadline = time.monotonic() + timeout
    while any(re.search(r"(qmconvert|ffmpeg)\.exe", cmd, re.I) for _, cmd in realkit.wine_processes(app.mark)):
        if time.monotonic() > deadline:
            raise RuntimeError("the conversion's processes still run after %s s" % timeout)
        time.sleep(0.2)


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
    ap.add_argument("--bin-dir", required=True, help="folder with ksmConverter.exe, qm.bat, qmconvert.exe, "
                    "ffmpeg.exe, WindowProbe.exe")
    ap.add_argument("--pairs", type=int, default=5, help="remux pairs (medians); default 5")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    opts = ap.parse_args()
    bin_dir = os.path.abspath(opts.bin_dir)
    for name in ("ksmConverter.exe", "qm.bat", "qmconvert.exe", "ffmpeg.exe", "WindowProbe.exe"):
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
        print("making the recording (60 s, 1280x720) ...", flush=True)
        ts = realkit.make_h264_ts(os.path.join(work, "h264 aac.ksm"), seconds=60)

        desktop = guikit.Desktop(bin_dir)
        app = realkit.Program(desktop, folder=bin_dir)
        app.start()
        bare_out = os.path.join(work, "bare.mp4")
        # A first bare run so neither side pays for a cold file cache or Wine's first start.
        bare(ffmpeg, app.folder, ts, bare_out, ["-c", "copy"])

        print("\nremux, %d pair(s):" % opts.pairs, flush=True)
        runs = []
        for _ in range(max(1, opts.pairs)):
            b = bare(ffmpeg, app.folder, ts, bare_out, ["-c", "copy"])
            p = through_program(app, ts, ts[:-3] + "mp4")
            show_pair("remux", b, p)
            if not p["final"].startswith("Conversion succeeded"):
                print("NOTE: the conversion ended with %r" % p["final"])
            runs.append((b, p))

        med = statistics.median
        print("\nresults (medians of %d pairs):" % len(runs))
        print("  click -> final line %.2f s, bare ffmpeg -c copy %.2f s: +%.2f s (goal <= 0.45 s); "
              "click -> target file +%.2f s"
              % (med([p["line"] for _, p in runs]), med([b["time"] for b, _ in runs]),
                 med([p["line"] - b["time"] for b, p in runs]),
                 med([p["file"] - b["time"] for b, p in runs if p["file"] is not None] or [float("nan")])))
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
