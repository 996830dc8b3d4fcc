#!/usr/bin/env python3
"""Real conversions through the real program under Wine: the window, Wine's cmd.exe,
qm.bat, qmconvert.exe and the Windows ffmpeg.exe, run from the bin folder as from the
release folder, with the results checked by Debian's ffprobe/ffmpeg.
A remux and a corrupt source in one session, closing the window mid-conversion, and a
second press while a conversion runs."""

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


def closing_mid_conversion(desktop, samples, args):
    """Closing the window while ffmpeg re-encodes. What the program does: the window goes
    at once and the conversion it started carries on without it, to a complete target;
    the target appears only whole (the engine renames it into place after its check), and
    the work folder goes."""
    folder = samples.new_folder("close")
    source = realkit.make_mpeg2_ps(os.path.join(folder, "old tape.ksm"), seconds=60)
    target = source[:-3] + "mp4"
    app = realkit.Program(desktop, folder=args.bin_dir)
    try:
        window = app.start()
        app.choose(source)
        app.press_start()
        deadline = time.monotonic() + 60
        while "Progress:" not in app.log():
            check(time.monotonic() < deadline, "no progress line within 60 s: %r" % app.log())
            time.sleep(0.3)
        check(not os.path.exists(target), "no target while ffmpeg works")
        check_equal(len(realkit.leftovers(folder, target)), 1, "one work folder beside the target")

        window = app.window()
        closed = time.monotonic()
        desktop.click_close_box(window)
        app.wait_exit(5)
        took = time.monotonic() - closed
        print("    window closed; the program ended %.2f s after the click" % took, flush=True)
        check(took <= 1.0, "ended within a second (took %.2f s)" % took)
        check_equal(desktop.windows(guikit.WINDOW_TITLE), [], "windows left")

        running = [cmd for _, cmd in app.conversion_processes()]
        print("    still running after the close: %s"
              % ", ".join(sorted(set(c.split()[0].split("\\")[-1] for c in running))), flush=True)
        check(any("ffmpeg" in cmd.lower() for cmd in running), "ffmpeg carries on: %r" % running)

        # Until everything ends the target is either absent or final: never half a file.
        first_size = None
        deadline = time.monotonic() + 240
        while conversions_running(app):
            check(time.monotonic() < deadline, "the background conversion did not end")
            if first_size is None and os.path.exists(target):
                first_size = os.path.getsize(target)
            time.sleep(0.2)
        check(os.path.exists(target), "the conversion finished to a target")
        if first_size is not None:
            check_equal(os.path.getsize(target), first_size, "target size once it appeared")
        got = check_clean_mp4(target, source)
        check_equal(got["video"], ("h264", 1280, 720), "target video")
        check_equal(got["audio"], "aac", "target audio")
        check_equal(realkit.leftovers(folder, target), [], "work folder left")
        check_equal(sorted(os.listdir(folder)), sorted([os.path.basename(source), os.path.basename(target)]),
                    "after a success the folder holds the source and the MP4 only")
        print("    background conversion finished: %s" % realkit.summary(target), flush=True)
    finally:
        app.cleanup()


def second_press_while_converting(desktop, samples, args):
    """A second press while the first conversion runs: the program starts a new
    interpreter and lets go of the first, which still finishes. Both write to work folders
    of their own and move whole files over the target: one valid target, nothing left."""
    folder = samples.new_folder("twice")
    source = realkit.make_mpeg2_ps(os.path.join(folder, "party.ksm"), seconds=20)
    target = source[:-3] + "mp4"
    app = realkit.Program(desktop, folder=args.bin_dir)
    try:
        app.start()
        app.choose(source)
        app.press_start()
        deadline = time.monotonic() + 60
        while "Method:" not in app.log():
            check(time.monotonic() < deadline, "first run did not get going: %r" % app.log())
            time.sleep(0.2)
        time.sleep(1.0)
        first = [cmd for _, cmd in app.conversion_processes() if "ffmpeg" in cmd.lower()]
        check(first, "the first run's ffmpeg works when Start is pressed again")
        app.press_start()
        deadline = time.monotonic() + 30
        while len(interpreters(app)) < 2:
            check(time.monotonic() < deadline, "no second interpreter: %r" % app.conversion_processes())
            time.sleep(0.2)
        log, final = app.wait_final(timeout=240)
        check_equal(final, 'Conversion succeeded: "%s"' % guikit.windows_path(target), "final line")
        check_equal(log.count("Start Converting the file."), 1, "header lines: %r" % log)
        check_equal(log.count("Source: "), 1, "runs shown in the log")
        check("The redir thread is dead" not in log, "no dead reader: %r" % log)

        wait_conversions_end(app, 240)
        check_equal(sorted(n for n in os.listdir(folder) if n.endswith(".mp4")),
                    [os.path.basename(target)], "MP4 files in the folder")
        check_equal(realkit.leftovers(folder, target), [], "work folders left")
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
