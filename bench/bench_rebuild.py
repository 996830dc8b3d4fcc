#!/usr/bin/env python3
"""What rebuilding a recording whose index was never written costs, under Wine.

A 60 s 1280x720 H.264/AAC camera MP4 (index at the end) looped to about 1 GiB; the same
1 GiB cut before its index (ftyp and media data only, as a power cut leaves it), beside the
60 s one as the finished recording from the same camera. qm.bat on the finished 1 GiB (a
plain remux) and on the cut 1 GiB (rebuilt, then remuxed), and bare ffmpeg.exe -c copy of
the finished one, taking turns, --repeat rounds; medians. The rebuild's share is the
difference of the two qm.bat runs. The cut 1 GiB with a quarter of it zeroed in its middle
(a card's bad blocks) is rebuilt too: the walk over damage costs no more than over data.

    bench/bench_rebuild.py --bin-dir DIR [--repeat N] [--keep]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import benchkit
import qmkit
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


def rebuild_seconds(prog, cut, target):
    """qmconvert.exe on the cut recording, its output going to a file looked at every 20 ms:
    the seconds until the line saying what was rebuilt (the walk of its data and the trial
    decode), and in all."""
    with tempfile.NamedTemporaryFile() as out:
        started = time.monotonic()
        proc = subprocess.Popen(["timeout", "-k", "5", "1800", "wine", os.path.join(prog, "qmconvert.exe"),
                                 winpath(cut), winpath(target)], cwd=prog, env=qmkit.wine_env(),
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
        rebuilt = None
        while proc.poll() is None:
            if rebuilt is None and b"Note: rebuilt" in open(out.name, "rb").read():
                rebuilt = time.monotonic() - started
            time.sleep(0.02)
        total = time.monotonic() - started
    return rebuilt if rebuilt is not None else total, total


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
        damaged = os.path.join(work, "CAM_0003.ksm")
        shutil.copy(cut, damaged)
        with open(damaged, "r+b") as f:
            f.seek(os.path.getsize(damaged) // 2 - (128 << 20))
            for _ in range(16):
                f.write(bytes(16 << 20))
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
            target = os.path.join(work, "engine.mp4")
            row["walk"], row["engine"] = rebuild_seconds(prog, cut, target)
            os.remove(target)
            row["damaged"], _ = rebuild_seconds(prog, damaged, target)
            os.remove(target)
            bare = os.path.join(work, "bare.mp4")
            row["bare"], rc, _ = benchkit.wine(["wine", ffmpeg, "-nostdin", "-y", "-i", winpath(finished), "-c", "copy",
                                                winpath(bare)], prog)
            os.remove(bare)
            print("  finished %6.2f s | cut, rebuilt %6.2f s (the engine alone %6.2f s, of which the rebuild "
                  "%5.2f s; a quarter zeroed: %5.2f s) | bare ffmpeg %6.2f s (exit %d)"
                  % (row["finished"], row["cut"], row["engine"], row["walk"], row["damaged"], row["bare"], rc),
                  flush=True)
            rows.append(row)
        med = {k: statistics.median(r[k] for r in rows) for k in rows[0]}
        size = os.path.getsize(cut) / 2 ** 30
        print("\nresults (medians, %.2f GiB):" % size)
        print("  cut and rebuilt over the plain remux of the finished one: %.2fx (goal 1.5x); %.2f s more "
              "(%.2f s per GiB); the rebuild itself, up to its note: %.2f s (finding the settings with a trial "
              "decode, one read of the recording and one write of its data and index); the remux %.2f s, bare "
              "ffmpeg %.2f s"
              % (med["cut"] / med["finished"], med["cut"] - med["finished"], (med["cut"] - med["finished"]) / size,
                 med["walk"], med["finished"], med["bare"]))
        print("  the rebuild with a quarter of its data zeroed in the middle over the whole one's: %.2fx (goal: "
              "no more than 1x, the walk's cost proportional to the file)" % (med["damaged"] / med["walk"]))
    finally:
        if not opts.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
