#!/usr/bin/env python3
"""What rebuilding a recording whose index was never written costs, under Wine.

A 60 s 1280x720 H.264/AAC camera MP4 (index at the end) looped to about 1 GiB; the same
1 GiB cut before its index (ftyp and media data only, as a power cut leaves it), beside the
60 s one as the finished recording from the same camera. qm.bat on the finished 1 GiB (a
plain remux) and on the cut 1 GiB (rebuilt, then remuxed), and bare ffmpeg.exe -c copy of
the finished one, taking turns, --repeat rounds; medians. The rebuild's share is the
difference of the two qm.bat runs.

    bench/bench_rebuild.py --bin-dir DIR [--repeat N] [--keep]
"""

import argparse
import os
import shutil
import statistics
import sys

import benchkit
import recordings
from qmkit import winpath


def cut_before_index(whole, cut):
    """The media data of `whole` without its index, its size left at the writer's placeholder 0."""
    with open(whole, "rb") as src, open(cut, "wb") as dst:
        at = 0
        while True:
            src.seek(at)
            head = src.read(8)
            size = int.from_bytes(head[:4], "big")
            if head[4:] == b"mdat":
                break
            at += size
        src.seek(0)
        dst.write(src.read(at))
        dst.write(bytes(4) + b"mdat")
        src.seek(at + 8)
        left = size - 8
        while left > 0:
            block = src.read(min(left, 64 << 20))
            dst.write(block)
            left -= len(block)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--keep", action="store_true")
    opts = ap.parse_args()
    prog = benchkit.program_folder(opts.bin_dir, "bench_rebuild")
    ffmpeg = os.path.join(prog, "ffmpeg.exe")
    work = benchkit.scratch_folder("qm-bench-rebuild-")
    try:
        if shutil.disk_usage(work).free < 5 * 2 ** 30:
            print("  skipped: less than 5 GiB free in %s" % work)
            return
        minute = os.path.join(work, "CAM_0001.ksm")
        recordings.ffmpeg(recordings.video_in("1280x720", 25, 60) + recordings.audio_in(seconds=60) +
                          ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-b:v", "12M",
                           "-g", "25", "-c:a", "aac", "-b:a", "128k", "-f", "mp4", minute])
        loops = max(1, int(2 ** 30 / os.path.getsize(minute)))
        finished = os.path.join(work, "finished.mp4")
        recordings.ffmpeg(["-stream_loop", str(loops - 1), "-i", minute, "-c", "copy", "-f", "mp4", finished],
                          timeout=1800)
        cut = os.path.join(work, "CAM_0002.ksm")
        cut_before_index(finished, cut)
        rows = []
        for _ in range(opts.repeat):
            row = {}
            for label, src in (("finished", finished), ("cut", cut)):
                target = os.path.join(work, label + " qm.mp4")
                if os.path.exists(target):
                    os.remove(target)
                run = benchkit.run_qm(prog, winpath(src), winpath(target), timeout=1800)
                if run.rc != 0:
                    sys.exit("qm.bat did not convert %s: %r" % (src, run))
                row[label] = run.seconds
                os.remove(target)
            bare = os.path.join(work, "bare.mp4")
            row["bare"], rc, _ = benchkit.wine(["wine", ffmpeg, "-nostdin", "-y", "-i", winpath(finished), "-c", "copy",
                                                winpath(bare)], prog)
            os.remove(bare)
            print("  finished %6.2f s | cut, rebuilt %6.2f s | bare ffmpeg %6.2f s (exit %d)"
                  % (row["finished"], row["cut"], row["bare"], rc), flush=True)
            rows.append(row)
        med = {k: statistics.median(r[k] for r in rows) for k in rows[0]}
        size = os.path.getsize(cut) / 2 ** 30
        print("\nresults (medians, %.2f GiB):" % size)
        print("  cut and rebuilt over the plain remux of the finished one: %.2fx (goal 1.5x); the rebuild "
              "%.2f s (%.2f s per GiB: one read of the recording and one write of its data, the index, a "
              "trial decode); the remux %.2f s, bare ffmpeg %.2f s"
              % (med["cut"] / med["finished"], med["cut"] - med["finished"], (med["cut"] - med["finished"]) / size,
                 med["finished"], med["bare"]))
    finally:
        if not opts.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
