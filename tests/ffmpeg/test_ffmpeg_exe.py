#!/usr/bin/env python3
"""The ffmpeg.exe we ship, under Wine: it is the build tools/build-ffmpeg recorded
(version, configure line), has every part qm.bat relies on and nothing it must not
have (network, extra writers), and really converts with libx264 and AAC.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "script"))
from qmkit import crashlog, start_keeper, stop_keeper, wine_env  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
FFMPEG_DIR = None
WORK = None

# What qm.bat and the checks around it use, and what cameras record.
NEEDED = {
    "demuxers": {"mpegts", "mpeg", "mov,mp4,m4a,3gp,3g2,mj2", "avi", "matroska,webm", "flv",
                 "asf", "mxf", "dv", "h264", "hevc", "m4v", "mpegvideo", "mjpeg", "mpjpeg", "dhav",
                 "ifv", "mxg", "wav", "alaw", "mulaw", "g726", "g726le", "amr", "amrnb", "amrwb",
                 "aac", "mp3"},
    "decoders": {"h264", "hevc", "mpeg2video", "mpeg4", "mjpeg", "pcm_mulaw", "pcm_alaw",
                 "g726", "g723_1", "g729", "aac", "mp3", "mp2"},
    "encoders": {"libx264", "aac", "wrapped_avframe", "pcm_s16le"},
    "muxers": {"mp4", "mov", "null"},
    "filters": {"scale", "format", "yadif", "bwdif", "fps", "setpts", "aresample", "null", "anull"},
}
# Anything beyond these would be unused weight or, for protocols, a way out to the network.
ALLOWED = {
    # Recordings come from strangers: nothing that opens other files by name (hls, concat,
    # image2), no text formats (tty draws a text file into a video).
    "demuxers": NEEDED["demuxers"],
    "encoders": NEEDED["encoders"],
    "muxers": NEEDED["muxers"],
    "protocols": {"file", "pipe"},
}


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def ffmpeg(*args, timeout=120):
    r = subprocess.run(["timeout", "-k", "5", str(timeout), "wine",
                        os.path.join(FFMPEG_DIR, "ffmpeg.exe"), "-hide_banner", "-nostdin"]
                       + list(args), cwd=WORK, env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return r.returncode, r.stdout.decode(errors="replace").replace("\r", "")


def listed(kind):
    """Names from -demuxers, -encoders, -filters ...: the word after the flag column."""
    rc, out = ffmpeg("-" + kind)
    assert rc == 0, out
    names = set()
    if kind == "protocols":
        return {line.strip() for line in out.splitlines()[1:]
                if line.startswith("  ") and line.strip()}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] != "=" and set(parts[0]) <= set("ADESVTCIFLB.|"):
            names.add(parts[1])
    return names


def buildinfo():
    info = {}
    with open(os.path.join(FFMPEG_DIR, "BUILDINFO.txt")) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            info[key] = value
    return info


class FFmpegExe(crashlog.CrashCheckedCase):
    def test_reports_the_recorded_version_and_configuration(self):
        info = buildinfo()
        rc, out = ffmpeg("-version")
        self.assertEqual(rc, 0, out)
        upstream = info["ffmpeg_version"].split("-")[0]
        self.assertTrue(out.startswith("ffmpeg version %s " % upstream), out[:200])
        # ffmpeg quotes the arguments that hold commas.
        self.assertIn("configuration: %s\n" % info["ffmpeg_configure"], out.replace("'", ""))
        for flag in ("--enable-gpl", "--enable-libx264", "--disable-network"):
            self.assertIn(flag, info["ffmpeg_configure"].split())
        with open(os.path.join(FFMPEG_DIR, "LICENSE.txt")) as f:
            licence = f.read()
        for text in (info["ffmpeg_configure"], info["x264_version"],
                     "GNU GENERAL PUBLIC LICENSE", "x264: COPYING"):
            self.assertIn(text, licence)

    def test_has_what_conversion_needs_and_no_more(self):
        for kind in ("demuxers", "decoders", "encoders", "muxers", "filters", "protocols"):
            with self.subTest(kind=kind):
                names = listed(kind)
                self.assertEqual(NEEDED.get(kind, set()) - names, set())
                if kind in ALLOWED:
                    self.assertEqual(names - ALLOWED[kind], set())
        # Every decoder: what a camera puts inside a container is not ours to choose.
        self.assertGreater(len(listed("decoders")), 450)

    def test_reencodes_like_qm_bat(self):
        src = os.path.join(WORK, "in.ts")
        r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                            "testsrc=size=322x242:rate=25", "-f", "lavfi", "-i",
                            "sine=sample_rate=8000", "-t", "2", "-c:v", "mpeg2video",
                            "-c:a", "pcm_mulaw", "-f", "avi", src], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        self.assertEqual(r.returncode, 0, r.stdout)
        rc, out = ffmpeg("-y", "-fflags", "+genpts", "-i", winpath(src), "-c:v", "libx264",
                         "-preset", "veryfast", "-crf", "23", "-pix_fmt", "yuv420p", "-vf",
                         "scale=trunc(iw/2)*2:trunc(ih/2)*2", "-c:a", "aac", "-b:a", "128k",
                         "-movflags", "+faststart", "-progress", "progress.txt", "-f", "mp4",
                         "out.mp4", timeout=300)
        self.assertEqual(rc, 0, out)
        r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width",
                            "-of", "csv=p=0", os.path.join(WORK, "out.mp4")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(r.stdout.decode().split(), ["h264,322", "aac"])
        with open(os.path.join(WORK, "progress.txt")) as f:
            self.assertIn("progress=end", f.read())


def main():
    global FFMPEG_DIR, WORK
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bin-dir")
    ap.add_argument("--ffmpeg-dir", required=True, help="where tools/build-ffmpeg installed it")
    opts, rest = ap.parse_known_args()
    FFMPEG_DIR = opts.ffmpeg_dir
    if not os.path.isfile(os.path.join(FFMPEG_DIR, "BUILDINFO.txt")):
        print("no built ffmpeg in %s (run tools/setup)" % FFMPEG_DIR)
        return 1
    WORK = tempfile.mkdtemp(prefix="ffmpeg-exe-test-")
    keeper = start_keeper(WORK)
    try:
        suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
        if rest:
            suite = unittest.defaultTestLoader.loadTestsFromNames(rest, sys.modules[__name__])
        return 0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1
    finally:
        stop_keeper(keeper)
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
