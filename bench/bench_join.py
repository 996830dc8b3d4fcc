#!/usr/bin/env python3
"""What joining a camera's chapters costs, under Wine.

One 4-chapter recording (H.264 720p and AAC, split at keyframes into chapters of about
--chapter-mib MiB, as an action camera does at its size limit) converted by qm.bat "<folder>",
against a plain copy of the chapters' bytes one after another into one file (what any join
must at least do). MP4 chapters (an action camera's) become the MP4 as they are joined;
QuickTime ones are joined, then remuxed by ffmpeg into an MP4. Each side is timed until its
bytes are on disk. --repeat rounds, taking turns; medians. Goal: the join no more than 1.3x
the copy.

    bench/bench_join.py --bin-dir DIR [--chapter-mib N] [--repeat N]
"""

import argparse
import glob
import os
import shutil
import statistics
import sys
import tempfile
import time

import benchkit
import recordings
from qmkit import winpath


def make_chapters(work, chapter_mib, kind):
    piece, whole = os.path.join(work, "piece.mov"), os.path.join(work, "whole.mov")
    if not os.path.exists(piece):
        recordings.ffmpeg(recordings.video_in("1280x720", 25, 20) + recordings.audio_in(seconds=20) +
                          ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "40M", "-g", "25",
                           "-bf", "0", "-c:a", "aac", "-f", "mov", piece], timeout=1800)
    loops = max(1, round(4 * chapter_mib * 2 ** 20 / os.path.getsize(piece)))
    if not os.path.exists(whole):
        recordings.ffmpeg(["-stream_loop", str(loops - 1), "-i", piece, "-c", "copy", "-f", "mov", whole], timeout=1800)
    card = os.path.join(work, kind)
    os.makedirs(card)
    # Each chapter with the recording's start, as some cameras write it.
    recordings.ffmpeg(["-i", whole, "-map", "0", "-c", "copy", "-metadata", "creation_time=2026-05-01T10:00:00Z",
                       "-f", "segment", "-segment_times", ",".join(str(loops * 20 * k / 4) for k in (1, 2, 3)),
                       "-segment_format", kind, "-reset_timestamps", "1", os.path.join(card, "GH0%d0123.ksm")],
                      timeout=1800)
    for n in sorted(glob.glob(os.path.join(card, "GH0*0123.ksm")), reverse=True):   # chapters count from 1
        k = int(os.path.basename(n)[3])
        os.rename(n, os.path.join(card, "GH0%d0123.ksm" % (k + 1)))
    return card


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--chapter-mib", type=int, default=1024)
    ap.add_argument("--repeat", type=int, default=3)
    opts = ap.parse_args()
    prog = benchkit.program_folder(opts.bin_dir, "bench_join")
    # On disk: the chapters, the joined recording and the MP4 are three times 4 GiB.
    work = tempfile.mkdtemp(prefix="qm-bench-join-", dir="/var/tmp")
    try:
        for kind, label in (("mp4", "MP4 chapters, joined as they are"), ("mov", "QuickTime chapters, then remuxed")):
            card = make_chapters(work, opts.chapter_mib, kind)
            chapters = sorted(glob.glob(os.path.join(card, "*.ksm")))
            total = sum(os.path.getsize(c) for c in chapters)
            print("  %s: %d chapters, %.2f GiB" % (label, len(chapters), total / 2 ** 30), flush=True)
            rows = []
            for _ in range(opts.repeat):
                # Both sides until their bytes are on disk: the page cache would otherwise
                # decide which of them pays for the other's writes.
                copy = os.path.join(work, "copy.bin")
                os.sync()
                started = time.monotonic()
                with open(copy, "wb") as out:
                    for c in chapters:
                        with open(c, "rb") as f:
                            shutil.copyfileobj(f, out, 8 << 20)
                    os.fsync(out.fileno())
                copied = time.monotonic() - started
                os.remove(copy)
                os.sync()
                started = time.monotonic()
                took, rc, data = benchkit.wine(["wine", "cmd", "/c", "qm.bat", winpath(card)], prog)
                os.sync()
                took = time.monotonic() - started
                if rc != 0 or b"joined from %d chapters" % len(chapters) not in data:
                    text = data.decode(errors="replace")
                    sys.exit("qm.bat did not join the chapters: %s\n...\n%s" % (text[:1500], text[-1000:]))
                os.remove(os.path.join(card, "GH010123.mp4"))
                print("    copy %6.2f s | join %6.2f s" % (copied, took), flush=True)
                rows.append((copied, took))
            shutil.rmtree(card)
            copied, joined = (statistics.median(r[i] for r in rows) for i in (0, 1))
            print("  %s: join over a plain copy of the chapters: %.2fx (goal: 1.3x); %.2f s vs %.2f s, medians of %d"
                  % (label, joined / copied, joined, copied, opts.repeat), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
