#!/usr/bin/env python3
"""The demo's conversion (tools/demo prepares everything first): makes a sample
recording, starts the program under Wine, picks the file in the open-file dialog, presses
"Start Conversion", shows the log as it grows, saves a screenshot, presses "Done" and
describes the MP4. Exits non-zero with the reason when a step fails."""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

import realkit  # noqa: E402
from realkit import guikit  # noqa: E402


class Failed(Exception):
    pass


def step(text):
    print("demo: %s" % text, flush=True)


def follow_log(app, timeout):
    """Prints the log box's new lines until the conversion's last line; returns it."""
    shown = 0
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        text = app.log().replace("\r", "")
        lines = text.split("\n")
        # The last piece may still be growing: print only finished lines.
        for line in lines[shown:len(lines) - 1]:
            print("    | %s" % line, flush=True)
        shown = max(shown, len(lines) - 1)
        final = realkit.final_lines(text)
        if final:
            return final[-1]
        time.sleep(0.5)
    raise Failed("the conversion did not finish within %d s" % timeout)


def run(opts):
    out = os.path.abspath(opts.out)
    os.makedirs(out, exist_ok=True)
    sample = os.path.join(out, "sample.ksm")
    target = os.path.join(out, "sample.mp4")
    shot = os.path.join(out, "screenshot.png")
    for path in (sample, target, target + ".log", shot):
        if os.path.exists(path):
            os.remove(path)

    step("making a 10-second sample recording (test pattern and tone, H.264/AAC in MPEG-TS)")
    try:
        realkit.make_h264_ts(sample, seconds=10)
    except (RuntimeError, OSError) as error:
        raise Failed("Debian's ffmpeg could not make the sample: %s" % error)
    step("  %s: %s" % (sample, realkit.summary(sample)))

    desktop = guikit.Desktop(opts.bin_dir)
    if not os.path.isfile(desktop.probe_exe):
        raise Failed("%s is missing (it is built by tools/build)" % desktop.probe_exe)
    app = realkit.Program(desktop, folder=opts.program_dir)
    try:
        step("starting %s under Wine" % os.path.join(app.folder, "ksmConverter.exe"))
        app.start(timeout=120)
        step("choosing the sample in the open-file dialog: %s" % guikit.windows_path(sample))
        app.choose(sample)
        step("pressing \"Start Conversion\"; the program's log:")
        app.press_start()
        final = follow_log(app, opts.timeout)
        window = app.window()
        desktop.screenshot(shot, window.rect)
        step("screenshot of the window: %s" % shot)
        converted = window.control(realkit.IDC_CONVERTED).text
        if not final.startswith("Conversion succeeded"):
            raise Failed("the program reported: %s" % final)
        step("pressing \"Done\"")
        code = app.done(timeout=30)
        if code != 0:
            raise Failed("the program ended with exit code %s" % code)
    except AssertionError as error:
        raise Failed(str(error))
    finally:
        app.cleanup()

    if not os.path.isfile(target):
        raise Failed("the program reported success but %s is not there" % target)
    errors = realkit.decode_errors(target)
    if errors:
        raise Failed("the MP4 does not decode cleanly: %s" % errors[:500])
    print()
    print("The MP4: %s" % target)
    print("         (%s in the program; its window said \"%s\")" % (guikit.windows_path(target), converted))
    print("ffprobe: %s; decodes without errors" % realkit.summary(target))
    if os.path.exists(target + ".log"):   # kept only after a failed attempt
        print("ffmpeg's log: %s" % (target + ".log"))
    print("Screenshot:   %s" % shot)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--program-dir", required=True, help="folder with ksmConverter.exe, qm.bat, ffmpeg.exe")
    ap.add_argument("--bin-dir", required=True, help="build folder with WindowProbe.exe")
    ap.add_argument("--out", required=True)
    ap.add_argument("--timeout", type=int, default=300)
    opts = ap.parse_args()
    for name in ("ksmConverter.exe", "qm.bat", "ffmpeg.exe"):
        if not os.path.isfile(os.path.join(opts.program_dir, name)):
            print("demo: FAILED: %s has no %s" % (opts.program_dir, name), file=sys.stderr)
            return 1
    try:
        run(opts)
    except Failed as error:
        print("demo: FAILED: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
