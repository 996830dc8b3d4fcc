#!/usr/bin/env python3
"""Click -> final line through the real window, against bare ffmpeg, under Wine.

A 60-second 1280x720 H.264/AAC MPEG-TS is converted by the program (the file chosen in the
open-file dialog, then timed from the click on "Start Conversion" to the final
"Conversion succeeded/failed" line in the log box) and by the same Windows ffmpeg.exe run
bare (`ffmpeg -nostdin -i in -c copy out.mp4`), back to back, --pairs times; the median
overhead is printed. Then the same with a stand-in qm.bat that only runs that bare ffmpeg:
the least the window, the interpreter and one ffmpeg cost, so the rest is qm.bat's engine.
Each program runs from a folder of its own (qm.bat, qmconvert.exe and ffmpeg.exe beside it,
as in the release folder).

A WindowProbe.exe watcher started before each click looks at the log box every 10 ms
(only its length unless it changed), so the moment of the last line is known to about
that much. Figures from one run, printed raw and as a difference; not a pass/fail test.

Last, --closes times: the window is closed (its close box) while ffmpeg re-encodes a
60-second MPEG-2 recording, and the seconds from the click until ffmpeg, and until every
process of the conversion, has ended are printed as median and worst.

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
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

import benchkit  # noqa: E402
import realkit  # noqa: E402
from realkit import guikit  # noqa: E402


STAND_IN = "\r\n".join([
    "@echo off",
    "rem The least any qm.bat costs: the interpreter and one bare ffmpeg.exe -c copy.",
    "\"%~dp0ffmpeg.exe\" -nostdin -y -i %1 -c copy %2",
    "if errorlevel 1 (echo Conversion failed: ffmpeg) else echo Conversion succeeded: %2",
    ""])


class Desktop(guikit.Desktop):
    """guikit's, with WindowProbe's answers read from a file."""

    def probe(self, *args):
        _, _, out = benchkit.wine(["wine", self.probe_exe] + list(args), timeout=60, env=guikit.wine_env(),
                                  stderr=subprocess.DEVNULL)
        return out.decode("utf-8", "replace")


def through_program(app, source, target):
    """One conversion through the window; returns the seconds from the click to the final
    line in the log box. A WindowProbe watcher started before the click looks at the log
    every 10 ms (after having seen it reset), so the time is good to about that much."""
    for path in (target, target + ".log"):
        if os.path.exists(path):
            os.remove(path)
    app.choose(source)
    hwnd = app.window().control(realkit.IDC_LOG).hwnd
    with tempfile.TemporaryFile() as out:
        watcher = subprocess.Popen(["timeout", "-k", "5", "1900", "wine", app.desktop.probe_exe, "watch", str(hwnd),
                                    "1800000", "Conversion succeeded", "Conversion failed"],
                                   env=guikit.wine_env(), stdin=subprocess.DEVNULL, stdout=out)
        try:
            if watcher_says(watcher, out, 0, 120) != b"ready":
                raise RuntimeError("the log watcher did not start")
            clicked = app.press_start()
            said = watcher_says(watcher, out, 1, 1900)
            seen = time.monotonic()
        finally:
            watcher.wait(60)
    if said != b"found":
        raise RuntimeError("no final line (watcher: %r)" % said)
    final = realkit.final_lines(app.log())
    wait_engine_end(app, 60)
    return {"line": seen - clicked, "final": final[-1] if final else ""}


def watcher_says(watcher, out, index, timeout):
    """Line `index` the watcher wrote into the file `out`, looked for every 2 ms; None if
    it ended or the time ran out first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ended = watcher.poll() is not None
        lines = os.pread(out.fileno(), 65536, 0).split(b"\n")
        if len(lines) > index + 1:
            return lines[index].strip()
        if ended:
            return None
        time.sleep(0.002)
    return None


def wait_engine_end(app, timeout):
    """Waits until no qmconvert.exe or ffmpeg.exe of this program runs (qm.bat's interpreter
    has ended once they have)."""
    deadline = time.monotonic() + timeout
    while any(re.search(r"(qmconvert|ffmpeg)\.exe", cmd, re.I) for _, cmd in realkit.wine_processes(app.mark)):
        if time.monotonic() > deadline:
            raise RuntimeError("the conversion's processes still run after %s s" % timeout)
        time.sleep(0.2)


def bare(ffmpeg, folder, source, target, options):
    """The Windows ffmpeg.exe alone, its output into a file."""
    if os.path.exists(target):
        os.remove(target)
    took, rc, out = benchkit.wine(["wine", ffmpeg, "-nostdin", "-y", "-i", guikit.windows_path(source)] + options +
                                  [guikit.windows_path(target)], folder, 1800, guikit.wine_env())
    if rc != 0:
        raise RuntimeError("bare ffmpeg failed (%d): %s" % (rc, out[-2000:].decode(errors="replace")))
    return {"time": took, "output_bytes": len(out), "output_lines": out.count(b"\n")}


def close_during_re_encode(desktop, bin_dir, work, source):
    """Seconds from a click on the close box, while ffmpeg re-encodes, until no ffmpeg and
    until no process of the conversion runs."""
    app = realkit.Program(desktop, bin_dir=bin_dir, parent=work)
    try:
        app.start()
        app.choose(source)
        app.press_start()
        app.wait_log_shows("Progress:", timeout=120)
        left, top, right, bottom = app.window().rect
        desktop.point_at(right - 14, top + 11)   # where the close box is clicked: no move in the timing
        closed = time.monotonic()
        desktop.click_close_box(app.window())
        gone = {}
        while len(gone) < 2:
            found = [cmd for _, cmd in app.conversion_processes()]
            now = time.monotonic() - closed
            if "ffmpeg" not in gone and not any("ffmpeg" in c.lower() for c in found):
                gone["ffmpeg"] = now
            if "all" not in gone and not found:
                gone["all"] = now
            if now > 60:
                raise RuntimeError("still running a minute after the close: %r" % found)
            time.sleep(0.02)
        leftovers = realkit.leftovers(os.path.dirname(source), source[:-3] + "mp4")
        if leftovers:
            print("NOTE: left beside the recording: %r" % leftovers)
        return gone
    finally:
        app.cleanup()


def show_pair(name, b, p):
    print("  %-10s bare ffmpeg %6.2f s | program %6.2f s" % (name, b["time"], p["line"]), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True, help="folder with ksmConverter.exe, qm.bat, qmconvert.exe, "
                    "ffmpeg.exe, WindowProbe.exe")
    ap.add_argument("--pairs", type=int, default=5, help="remux pairs (medians); default 5")
    ap.add_argument("--closes", type=int, default=5, help="window closes during a re-encode; default 5")
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
    apps = []
    try:
        print("work folder %s, display %s, prefix %s" % (work, os.environ["DISPLAY"], prefix))
        print("making the recording (60 s, 1280x720) ...", flush=True)
        ts = realkit.make_h264_ts(os.path.join(work, "h264 aac.ksm"), seconds=60)

        desktop = Desktop(bin_dir)
        bare_out = os.path.join(work, "bare.mp4")
        target = ts[:-3] + "mp4"
        results = {}
        # The program as released, then the same window with a stand-in qm.bat that only
        # runs ffmpeg: the difference is what qm.bat's engine costs.
        for kind in ("qm.bat", "stand-in"):
            app = realkit.Program(desktop, bin_dir=bin_dir, parent=work)
            apps.append(app)
            if kind == "stand-in":
                with open(os.path.join(app.folder, "qm.bat"), "w", newline="") as f:
                    f.write(STAND_IN)
            app.start()
            # A first bare run so neither side pays for a cold file cache or Wine's first start.
            bare(ffmpeg, app.folder, ts, bare_out, ["-c", "copy"])
            print("\nremux through the window with %s, %d pair(s):" % (kind, opts.pairs), flush=True)
            runs = results[kind] = []
            for _ in range(max(1, opts.pairs)):
                b = bare(ffmpeg, app.folder, ts, bare_out, ["-c", "copy"])
                p = through_program(app, ts, target)
                show_pair("remux", b, p)
                if not p["final"].startswith("Conversion succeeded"):
                    print("NOTE: the conversion ended with %r" % p["final"])
                runs.append((b, p))
            app.done()
            app.cleanup()
            apps.remove(app)

        med = statistics.median
        over = {kind: med([p["line"] - b["time"] for b, p in runs]) for kind, runs in results.items()}
        print("\nresults (medians of %d pairs):" % opts.pairs)
        print("  click -> final line %.2f s, bare ffmpeg -c copy %.2f s: +%.2f s (goal <= 0.45 s)"
              % (med([p["line"] for _, p in results["qm.bat"]]), med([b["time"] for b, _ in results["qm.bat"]]),
                 over["qm.bat"]))
        print("  the same window with a stand-in qm.bat that only runs ffmpeg: +%.2f s; qm.bat's engine costs "
              "%.2f s of the difference" % (over["stand-in"], over["qm.bat"] - over["stand-in"]), flush=True)

        if opts.closes > 0:
            print("\nmaking the re-encode recording (60 s MPEG-2, 1280x720) ...", flush=True)
            ps = realkit.make_mpeg2_ps(os.path.join(work, "old tape.ksm"), seconds=60)
            closes = []
            for _ in range(opts.closes):
                closes.append(close_during_re_encode(desktop, bin_dir, work, ps))
                print("  closed during the re-encode: ffmpeg gone after %.2f s, everything after %.2f s"
                      % (closes[-1]["ffmpeg"], closes[-1]["all"]), flush=True)
            for what, name in (("ffmpeg", "ffmpeg"), ("all", "every process of the conversion")):
                times = [c[what] for c in closes]
                print("  window closed -> %s gone: median %.2f s, worst %.2f s of %d (goal <= 1 s)"
                      % (name, med(times), max(times), len(times)))
    finally:
        for app in apps:
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
