#!/usr/bin/env python3
"""Start-up of the converter under Wine, against a minimal Win32 window with one edit
control measured the same way in the same run: time until the window is visible and
answering, and committed memory (PagefileUsage; Wine reports PrivateUsage as 0) once it
is. The minimal window is measured twice: plain, and registering the common controls
first as the converter's start-up does, which shows that step's share. Also the
program's size. Prints the figures, the ratios and the goals.

    bench_startup.py --bin-dir build/bin [--runs N]

Needs a display and the Wine environment (WINEPREFIX, DISPLAY), as the tests do."""

import argparse
import os
import statistics
import sys

import benchkit

CONVERTER_TITLE = "Kesmora (.ksm) Converter"
MINIMAL_TITLE = "ksm minimal window"
SIZE_GOAL_KIB = 600
MEMORY_RATIO_GOAL = 1.5


def measure(probe, program, title, *extra):
    _, rc, out = benchkit.wine(["wine", probe, program, title] + list(extra), timeout=120)
    text = out.decode(errors="replace").strip()
    line = next((l for l in text.splitlines() if "startup_ms=" in l), "")
    if rc != 0 or not line:
        sys.exit("measuring %s failed: %s" % (program, text))
    fields = dict(part.split("=", 1) for part in line.split())
    return float(fields["startup_ms"]), int(fields["pagefile_bytes"]), int(fields["exit_code"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    probe = os.path.join(args.bin_dir, "StartupProbe.exe")
    converter = os.path.join(args.bin_dir, "ksmConverter.exe")
    minimal = os.path.join(args.bin_dir, "MinimalWindow.exe")
    subjects = [
        ("ksmConverter", (converter, CONVERTER_TITLE)),
        ("minimal window", (minimal, MINIMAL_TITLE)),
        ("minimal + common controls", (minimal, MINIMAL_TITLE, "--common-controls")),
    ]

    # One start of each first, so every measured start is a warm one; then turn about.
    for _, how in subjects:
        measure(probe, *how)
    runs = {name: [] for name, _ in subjects}
    for _ in range(args.runs):
        for name, how in subjects:
            runs[name].append(measure(probe, *how))

    def median(name, index):
        return statistics.median(run[index] for run in runs[name])

    base = "minimal window"
    print("median of %d warm starts each, in turn:" % args.runs)
    print("%-27s %12s %8s %16s %8s" % ("", "to window", "ratio", "committed memory", "ratio"))
    for name, _ in subjects:
        ms, mem = median(name, 0), median(name, 1)
        print("%-27s %9.1f ms %8.2f %12.0f KiB %8.2f" % (name, ms, ms / median(base, 0), mem / 1024,
                                                        mem / median(base, 1)))
    ratio = median("ksmConverter", 1) / median(base, 1)
    print("memory ratio against the minimal window: %.2f (goal <= %.1f)%s" %
          (ratio, MEMORY_RATIO_GOAL, "" if ratio <= MEMORY_RATIO_GOAL else "  OVER"))
    print("memory ratio against the minimal window with common controls: %.2f" %
          (median("ksmConverter", 1) / median("minimal + common controls", 1)))
    size_kib = os.path.getsize(converter) / 1024.0
    print("program size: %.0f KiB (goal <= %d KiB)%s" % (size_kib, SIZE_GOAL_KIB,
                                                         "" if size_kib <= SIZE_GOAL_KIB else "  OVER"))
    codes = sorted({run[2] for run in runs["ksmConverter"]})
    print("ksmConverter exit code after WM_CLOSE: %s" % ", ".join(str(c) for c in codes))


if __name__ == "__main__":
    main()
