#!/usr/bin/env python3
"""What converting a folder in one run saves, under Wine.

20 recordings (4 s of H.264 and AAC each, as a dash cam's card holds them) converted by one
qm.bat "<folder>", against qm.bat "<source>" "<target>" run once for each. --repeat rounds,
taking turns; medians. Goal: the one run no slower, the engine's fixed cost paid once.

    bench/bench_folder.py --bin-dir DIR [--repeat N]
"""

import argparse
import glob
import os
import shutil
import statistics
import sys

import benchkit
import recordings
from qmkit import winpath


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--repeat", type=int, default=3)
    opts = ap.parse_args()
    prog = benchkit.program_folder(opts.bin_dir, "bench_folder")
    work = benchkit.scratch_folder("qm-bench-folder-")
    try:
        one = os.path.join(work, "one.ksm")
        recordings.write_camera_mp4(one, seconds=4)
        card = os.path.join(work, "card")
        os.makedirs(card)
        sources = [shutil.copy(one, os.path.join(card, "%02d.ksm" % n)) for n in range(20)]
        rows = []
        for _ in range(opts.repeat):
            singles = 0
            for src in sources:
                run = benchkit.run_qm(prog, winpath(src), winpath(src[:-4] + ".mp4"))
                if run.rc != 0:
                    sys.exit("qm.bat did not convert %s: %r" % (src, run))
                singles += run.seconds
            for mp4 in glob.glob(os.path.join(card, "*.mp4")):
                os.remove(mp4)
            took, rc, data = benchkit.wine(["wine", "cmd", "/c", "qm.bat", winpath(card)], prog)
            if rc != 0 or b"Folder done: 20 converted" not in data:
                sys.exit("qm.bat did not convert the folder: %s" % data.decode(errors="replace")[-2000:])
            for mp4 in glob.glob(os.path.join(card, "*.mp4")):
                os.remove(mp4)
            print("  20 single runs %6.2f s | one folder run %6.2f s" % (singles, took), flush=True)
            rows.append((singles, took))
        singles, folder = (statistics.median(r[i] for r in rows) for i in (0, 1))
        print("\nresults (medians of %d):" % opts.repeat)
        print("  one folder run over 20 single runs: %.2fx (goal: no more than 1x); %.2f s vs %.2f s, "
              "%.0f ms saved a recording" % (folder / singles, folder, singles, (singles - folder) / 20 * 1000))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
