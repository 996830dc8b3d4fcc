#!/usr/bin/env python3
"""Real conversions through the real program under Wine: the window, Wine's cmd.exe,
qm.bat, qmconvert.exe and the Windows ffmpeg.exe, run from the bin folder as from the
release folder, with the results checked by Debian's ffprobe/ffmpeg.
A remux and a corrupt source in one session; closing the window mid-conversion and a
second press while a conversion runs, both of which cancel the running conversion."""

import os
import re
import shutil
import tempfile
import time

import realkit
from realkit import IDC_CONVERTED, IDC_START, guikit
from guikit import check, check_equal


class Samples:
    """Recordings for every case, made once, in folders whose names have a space."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="ksm-e2e-")
        self.folder = os.path.join(self.root, "my recordings")
        os.makedirs(self.folder)

    def new_folder(self, name):
        path = os.path.join(self.root, name)
        os.makedirs(path)
        return path

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


# The program's interpreter, as Wine shows it: "cmd.exe" with or without its options.
INTERPRETER = re.compile(r"^(c:\\windows\\system32\\)?cmd\.exe( |$)", re.I)


def interpreters(app):
    return [cmd for _, cmd in realkit.wine_processes(app.mark) if INTERPRETER.search(cmd)]


def conversions_running(app):
    """True while a conversion of this program runs: qmconvert.exe or ffmpeg.exe, or an
    interpreter besides the one the open program keeps for its next line."""
    found = [cmd for _, cmd in realkit.wine_processes(app.mark)]
    allowed = 1 if app.process is not None and app.process.poll() is None else 0
    return (any(re.search(r"(qmconvert|ffmpeg)\.exe", cmd, re.I) for cmd in found)
            or len(interpreters(app)) > allowed)


def wait_conversions_end(app, timeout):
    deadline = time.monotonic() + timeout
    calm = 0
    while calm < 2:   # two quiet looks in a row
        check(time.monotonic() < deadline, "conversion processes still running after %ss: %r"
              % (timeout, realkit.wine_processes(app.mark)))
        calm = 0 if conversions_running(app) else calm + 1
        time.sleep(0.4)


def converted_line(target):
    return "Converted File: " + guikit.windows_path(target)


def check_clean_mp4(target, source, seconds=None):
    got = realkit.probe(target)
    want = realkit.probe(source)
    check_equal(got["format"].split(",")[0], "mov", "target container")
    check(abs(got["duration"] - (seconds if seconds is not None else want["duration"])) <= 0.1,
          "duration %.3f s, source %.3f s" % (got["duration"], want["duration"]))
    errors = realkit.decode_errors(target)
    check_equal(errors, "", "decode errors of the target")
    return got


def remux_and_corrupt_source(desktop, samples, args):
    folder = samples.new_folder("remux")
    source = realkit.make_h264_ts(os.path.join(folder, "evening news.ksm"), seconds=10)
    garbage = realkit.make_garbage(os.path.join(folder, "broken.ksm"))
    target = source[:-3] + "mp4"
    app = realkit.Program(desktop, folder=args.bin_dir)
    try:
        app.start()

        # H.264/AAC: copied into the MP4, nothing re-encoded.
        app.choose(source)
        app.press_start()
        log, final = app.wait_final(timeout=120)
        check_equal(final, 'Conversion succeeded: "%s"' % guikit.windows_path(target), "final line")
        check("Method: remux" in log, "remux chosen: %r" % log)
        check_equal(app.window().control(IDC_CONVERTED).text, converted_line(target), "converted line")
        got = check_clean_mp4(target, source)
        check_equal(got["video"], ("h264", 1280, 720), "target video")
        check_equal(got["audio"], "aac", "target audio")
        check_equal(realkit.video_md5(target), realkit.video_md5(source), "decoded video (copied)")
        check_equal(realkit.leftovers(folder, target), [], "files left beside the target")
        wait_conversions_end(app, 30)

        # Not a recording: the failure is the last line, and nothing is left behind.
        bad_target = garbage[:-3] + "mp4"
        app.choose(garbage)
        app.press_start()
        log, final = app.wait_final(timeout=120)
        check(final.startswith("Conversion failed: ") and "cannot read the source" in final,
              "final line: %r" % final)
        check("Conversion succeeded" not in log, "no success line after a failure: %r" % log)
        check(not os.path.exists(bad_target), "no target for a corrupt source")
        check_equal(realkit.leftovers(folder, bad_target), [], "files left beside the failed target")
        check(os.path.exists(target), "the earlier conversion's target is untouched")
        check(app.window().control(IDC_START).enabled, "Start enabled after the failure")

        if args.shot:
            desktop.screenshot(args.shot, app.window().rect)
        wait_conversions_end(app, 30)
        check_equal(app.done(), 0, "exit code after Done")
    finally:
        app.cleanup()


def engine_pids(app):
    """The running engines: one per conversion, for its whole length (ffmpeg runs several
    times in one)."""
    return {pid for pid, cmd in app.conversion_processes() if "qmconvert" in cmd.lower()}


def wait_until(condition, timeout, what):
    """Seconds until condition() holds, looked at every 50 ms."""
    start = time.monotonic()
    while not condition():
        check(time.monotonic() - start < timeout, "%s: not within %s s" % (what, timeout))
        time.sleep(0.05)
    return time.monotonic() - start


def start_re_encode(app, folder, name, seconds):
    """A re-encoding conversion through the window, waited for until ffmpeg works on it;
    returns (source, target, the pid of its engine)."""
    source = realkit.make_mpeg2_ps(os.path.join(folder, name), seconds=seconds)
    target = source[:-3] + "mp4"
    app.choose(source)
    app.press_start()
    app.wait_log_shows("Progress:")
    engines = engine_pids(app)
    check_equal(len(engines), 1, "engines at work")
    check(any("ffmpeg" in cmd.lower() for _, cmd in app.conversion_processes()), "ffmpeg works on it")
    check_equal(len(realkit.leftovers(folder, target)), 1, "one work folder beside the target")
    return source, target, engines.pop()


def closing_mid_conversion(desktop, samples, args):
    """Closing the window while ffmpeg re-encodes cancels the conversion: the window goes
    at once, ffmpeg and the engine soon after, with their work folder; an MP4 of that name
    from before is left as it was."""
    folder = samples.new_folder("close")
    earlier = os.path.join(folder, "old tape.mp4")
    with open(earlier, "wb") as f:
        f.write(b"an MP4 of an earlier day")
    app = realkit.Program(desktop, folder=args.bin_dir)
    try:
        app.start()
        source, target, _ = start_re_encode(app, folder, "old tape.ksm", 60)
        check_equal(target, earlier, "target")

        closed = time.monotonic()
        desktop.click_close_box(app.window())
        app.wait_exit(5)
        took = time.monotonic() - closed
        print("    window closed; the program ended %.2f s after the click" % took, flush=True)
        check(took <= 1.0, "ended within a second (took %.2f s)" % took)
        check_equal(desktop.windows(guikit.WINDOW_TITLE), [], "windows left")

        took = wait_until(lambda: not app.conversion_processes(), 3, "the conversion's processes end")
        print("    ffmpeg, qmconvert and cmd gone %.2f s after the program" % took, flush=True)
        check_equal(sorted(os.listdir(folder)), sorted([os.path.basename(source), os.path.basename(target)]),
                    "the folder holds the recording and the earlier MP4 only")
        with open(target, "rb") as f:
            check_equal(f.read(), b"an MP4 of an earlier day", "the earlier MP4")
    finally:
        app.cleanup()


def second_press_while_converting(desktop, samples, args):
    """A second press while a conversion runs replaces it: the first one's engine, its
    ffmpeg and its work folder go at once, the second runs alone to one valid MP4."""
    folder = samples.new_folder("twice")
    app = realkit.Program(desktop, folder=args.bin_dir)
    try:
        app.start()
        source, target, first = start_re_encode(app, folder, "party.ksm", 30)
        app.press_start()
        took = wait_until(lambda: first not in engine_pids(app), 3, "the first conversion ends")
        print("    the first conversion gone %.2f s after the second press" % took, flush=True)
        time.sleep(0.5)
        running = [cmd for _, cmd in app.conversion_processes() if "ffmpeg" in cmd.lower()]
        check(len(running) <= 1, "one ffmpeg at a time: %r" % running)
        check(len(realkit.leftovers(folder, target)) <= 1, "the first work folder went: %r"
              % realkit.leftovers(folder, target))
        log, final = app.wait_final(timeout=240)
        check_equal(final, 'Conversion succeeded: "%s"' % guikit.windows_path(target), "final line")
        check_equal(log.count("Start Converting the file."), 1, "header lines: %r" % log)
        check_equal(log.count("Source: "), 1, "runs shown in the log")
        check("The redir thread is dead" not in log, "no dead reader: %r" % log)

        wait_conversions_end(app, 60)
        check_equal(sorted(os.listdir(folder)), sorted([os.path.basename(source), os.path.basename(target)]),
                    "the folder holds the recording and one MP4")
        got = check_clean_mp4(target, source)
        check_equal(got["video"], ("h264", 1280, 720), "target video")
        check_equal(app.window().control(IDC_CONVERTED).text, converted_line(target), "converted line")
        check_equal(app.done(), 0, "exit code after Done")
    finally:
        app.cleanup()


def main():
    args = guikit.parse_args()
    desktop = guikit.Desktop(args.bin_dir)
    cases = guikit.Cases(args.cases)
    samples = Samples()
    try:
        cases.run("remux_and_corrupt_source", remux_and_corrupt_source, desktop, samples, args)
        cases.run("closing_mid_conversion", closing_mid_conversion, desktop, samples, args)
        cases.run("second_press_while_converting", second_press_while_converting, desktop, samples, args)
    finally:
        samples.cleanup()
    cases.finish()


if __name__ == "__main__":
    main()
