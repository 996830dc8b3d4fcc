#!/usr/bin/env python3
"""What keeping a camera's telemetry costs a conversion, under Wine.

A 60 s 1280x720 H.264/AAC recording with a telemetry track ("gpmd", 8 samples a second of
1 KB, as ffmpeg's data reader cuts them: about what a GoPro writes) and the same recording without it; qm.bat remuxes each,
taking turns, --repeat rounds; medians. The extra tracks should cost no more than their
bytes: the time ratio is printed beside the size ratio.

    bench/bench_kept.py --bin-dir DIR [--repeat N]
"""

import argparse
import os
import random
import shutil
import statistics
import sys

import benchkit
import recordings
from qmkit import winpath


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--repeat", type=int, default=5)
    opts = ap.parse_args()
    prog = benchkit.program_folder(opts.bin_dir, "bench_kept")
    work = benchkit.scratch_folder("qm-bench-kept-")
    try:
        data = os.path.join(work, "telemetry.bin")
        with open(data, "wb") as f:
            f.write(random.Random(3).randbytes(60 * 8 * 1024))
        kept = os.path.join(work, "with telemetry.ksm")
        recordings.ffmpeg(recordings.video_in("1280x720", 25, 60) + recordings.audio_in(seconds=60) +
                          ["-f", "data", "-i", data, "-map", "0:v", "-map", "1:a", "-map", "2:d",
                           "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-b:v", "4M", "-g", "25",
                           "-c:a", "aac", "-c:d", "copy", "-tag:d", "gpmd", "-bsf:d",
                           "setts=ts=N/TB/8:duration=1/TB/8", "-f", "mov", kept], timeout=1800)
        plain = os.path.join(work, "without.ksm")
        recordings.ffmpeg(["-i", kept, "-map", "0:v", "-map", "0:a", "-c", "copy", "-f", "mov", plain])
        rows = []
        for _ in range(opts.repeat):
            row = {}
            for label, src in (("plain", plain), ("kept", kept)):
                target = os.path.join(work, label + ".mp4")
                run = benchkit.run_qm(prog, winpath(src), winpath(target))
                if run.rc != 0 or (label == "kept" and "gpmd" not in run.lines[-2]):
                    sys.exit("qm.bat did not convert %s as expected: %r" % (src, run))
                row[label] = run.seconds
                row[label + " bytes"] = os.path.getsize(target)
                os.remove(target)
            print("  without %5.2f s | with telemetry %5.2f s" % (row["plain"], row["kept"]), flush=True)
            rows.append(row)
        med = {k: statistics.median(r[k] for r in rows) for k in rows[0]}
        print("\nresults (medians of %d):" % opts.repeat)
        print("  remux with telemetry over without: %.3fx the time for %.3fx the bytes (goal: the time no "
              "more than the bytes); %.2f s vs %.2f s"
              % (med["kept"] / med["plain"], med["kept bytes"] / med["plain bytes"], med["kept"], med["plain"]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
