#!/usr/bin/env python3
"""qm.bat (and the qmconvert.exe and ffmpeg.exe beside it) run by Wine's cmd on recordings
made the way cameras write them (recordings.py); every MP4 is read back with ffprobe and
decoded in full. Then the faults around a conversion: a target held open or read-only, the
source named by its short name, an ffmpeg that hangs, unusable sources, missing programs,
awkward names typed as the program types them, two runs onto one target, and files from
strangers made to read other files or to exhaust memory, disk and time.

    test_qm_bat.py --bin-dir build/bin [TestClass[.test_name] ...]
"""

import argparse
import calendar
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import hostile  # noqa: E402
import qmkit  # noqa: E402
import recordings  # noqa: E402
from qmkit import FAILED, OK, run_qm, run_qm_typed, winpath  # noqa: E402

BIN = None      # folder with qm.bat, qmconvert.exe, ffmpeg.exe and the test helpers
WORK = None     # scratch root of this run
REC = None      # recordings.Recordings
# Where users keep recordings: spaces and characters outside ASCII.
CASES = "Kamera Hof – Café"


def md5(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def folder(name):
    path = tempfile.mkdtemp(prefix=name + " ", dir=os.path.join(WORK, CASES))
    return path


def program_folder(with_engine=True, ffmpeg="real", name="prog", root=None):
    """A folder as the program is installed: qm.bat, qmconvert.exe, ffmpeg.exe (the real
    one, a stand-in that hangs, a damaged file, or none)."""
    prog = os.path.join(tempfile.mkdtemp(prefix="install ", dir=root) if root else folder("install"), name)
    os.makedirs(prog)
    shutil.copy(os.path.join(BIN, "qm.bat"), prog)
    if with_engine:
        shutil.copy(os.path.join(BIN, "qmconvert.exe"), prog)
    if ffmpeg == "real":
        os.symlink(os.path.realpath(os.path.join(BIN, "ffmpeg.exe")), os.path.join(prog, "ffmpeg.exe"))
    elif ffmpeg == "stuck":
        shutil.copy(os.path.join(BIN, "StuckFfmpeg.exe"), os.path.join(prog, "ffmpeg.exe"))
    elif ffmpeg == "damaged":
        with open(os.path.join(prog, "ffmpeg.exe"), "wb") as f:
            f.write(b"MZ" + os.urandom(4000))
    return prog


def aid(*args, timeout=60):
    r = subprocess.run(["timeout", "-k", "5", str(timeout), "wine", os.path.join(BIN, "TestAid.exe")] + list(args),
                       env=qmkit.wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, timeout=timeout + 30)
    return r.stdout.decode("utf-8", "replace").strip()


class Holder:
    """TestAid holding a file open like a player, until released (or 5 minutes)."""

    def __init__(self, path):
        self.release = path + ".release"
        self.proc = subprocess.Popen(["timeout", "-k", "5", "330", "wine", os.path.join(BIN, "TestAid.exe"),
                                      "hold", winpath(path), winpath(self.release), "300"],
                                     env=qmkit.wine_env(), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode(errors="replace").strip()
        if line != "holding":
            raise AssertionError("TestAid could not hold %s: %r" % (path, line))

    def stop(self):
        open(self.release, "w").close()
        self.proc.wait(timeout=60)
        os.remove(self.release)


def quoted_paths(run, suffix="", final_only=False):
    """Paths the output gives in double quotes (Windows form -> Linux form)."""
    found = []
    for line in [run.final] if final_only else run.lines:
        for q in re.findall(r'"(Z:\\[^"]+)"', line):
            if q.lower().endswith(suffix):
                found.append(q[2:].replace("\\", "/"))
    return found


class Checks(qmkit.crashlog.CrashCheckedCase):
    """The shared run-and-check steps."""

    def check_final(self, run, code):
        """Exit code, and the final line is the last line (nothing after it, no progress);
        a run that ended within 3 s shows no progress at all."""
        self.assertEqual(run.rc, code, run)
        self.assertTrue(run.lines and run.lines[-1] == run.final, run)
        self.assertEqual(sum(1 for l in run.lines if l.startswith((OK, FAILED))), 1, run)
        if run.seconds < 3:
            self.assertFalse([l for l in run.lines if l.startswith("Progress:")], run)

    def check_failed(self, run, code, folder_before=None, folder=None):
        """A failure: exit code, final line; the folder as it was apart from the kept log,
        which the output names."""
        self.check_final(run, code)
        self.assertTrue(run.final.startswith(FAILED), run)
        if folder is not None:
            logs = [p for p in quoted_paths(run, ".log") if os.path.dirname(p) == folder]
            extra = sorted(set(os.listdir(folder)) - set(folder_before))
            self.assertEqual(extra, sorted(os.path.basename(p) for p in logs), run)
            if code == 5:
                self.assertEqual(len(logs), 1, "ffmpeg's log is named: %r" % run)
                with open(logs[0], "rb") as f:
                    said = [l for l in f.read().splitlines() if l.strip() and not l.startswith(b"=====")]
                self.assertTrue(said, "the log holds what ffmpeg said")

    def convert(self, name, video, audio, seconds=None, tolerance=0.3, older=None):
        """Converts recording `name` (a copy, in a folder of its own) to the MP4 beside it
        and checks the run and the MP4: exactly the expected streams, each with packets,
        the length, a clean full decode, the source unchanged, nothing else left in the
        folder. video: (codec, width, height); audio: codec, a list of them, or None."""
        where = folder(name.split(".")[0])
        src = shutil.copy(REC.path(name), where)
        tgt = os.path.splitext(src)[0] + ".mp4"
        if older is not None:
            with open(tgt, "wb") as f:
                f.write(older)
        before = md5(src)
        run = run_qm(BIN, winpath(src), winpath(tgt))
        self.check_final(run, 0)
        self.assertEqual(run.final, OK + '"%s"' % winpath(tgt))
        self.assertEqual(md5(src), before, "the source was written")
        self.assertEqual(sorted(os.listdir(where)), sorted([os.path.basename(src), os.path.basename(tgt)]), run)
        info = recordings.probe(tgt)
        got_video = [(s["codec"], s["width"], s["height"]) for s in recordings.streams_of(info, "video")]
        self.assertEqual(got_video, [video], run)
        got_audio = [s["codec"] for s in recordings.streams_of(info, "audio")]
        self.assertEqual(got_audio, audio if isinstance(audio, list) else [audio] if audio else [], run)
        self.assertTrue(all(s["packets"] > 0 for s in info["streams"]), info)
        if seconds is None:
            seconds = recordings.probe(src, count=False)["duration"]
        self.assertAlmostEqual(info["duration"], seconds, delta=tolerance, msg=run)
        # Playable while it loads (index first), dated as the recording.
        boxes = recordings.top_boxes(tgt)
        self.assertLess(boxes.index("moov"), boxes.index("mdat"), boxes)
        self.assertAlmostEqual(os.path.getmtime(tgt), os.path.getmtime(src), delta=1, msg=run)
        return run, info, src, tgt


class Recordings(Checks):
    """Each kind of recording converts to an MP4 that holds what the recording holds."""

    def test_plain_ts_remuxed_over_an_older_target(self):
        run, _, src, tgt = self.convert("plain.ts", ("h264", 320, 240), "aac", older=b"older conversion")
        self.assertEqual(recordings.decode_errors(tgt), "")
        self.assertEqual(recordings.video_md5(tgt), recordings.video_md5(src), "video not copied")

    def test_mic_off_track_left_out(self):
        _, _, src, tgt = self.convert("mic off.ts", ("h264", 320, 240), None)
        self.assertEqual(recordings.decode_errors(tgt), "")
        self.assertEqual(recordings.video_md5(tgt), recordings.video_md5(src), "video not copied")

    def test_main_stream_taken_not_the_sub_stream(self):
        with self.subTest("AVI, sub stream first"):
            _, _, _, tgt = self.convert("sub first.avi", ("h264", 1280, 720), "aac")
            self.assertEqual(recordings.decode_errors(tgt), "")
        with self.subTest("TS, two programmes: audio of the main stream's programme"):
            _, info, _, tgt = self.convert("two programmes.ts", ("h264", 1280, 720), "aac")
            self.assertEqual(recordings.streams_of(info, "audio")[0]["rate"], 48000)
            self.assertEqual(recordings.decode_errors(tgt), "")

    def test_raw_streams_behind_a_vendor_header(self):
        # Every frame, at the rate the stream gives (15 and 20 fps: not ffmpeg's default 25);
        # with vendor framing around frames and interleaved audio, the output says the
        # audio is not there.
        for name, codec, frames, seconds in (("raw h264.ksm", "h264", 60, 4.0), ("raw hevc.ksm", "hevc", 60, 3.0),
                                             ("framed h264.ksm", "h264", 60, 4.0)):
            with self.subTest(name):
                run, info, _, tgt = self.convert(name, (codec, 320, 240), None, seconds=seconds, tolerance=0.15)
                self.assertIn("video only, speed taken from the stream", "\n".join(run.lines))
                self.assertEqual(recordings.streams_of(info, "video")[0]["packets"], frames)
                if codec == "hevc":   # what Apple's players need to show HEVC in MP4
                    self.assertEqual(recordings.streams_of(info, "video")[0]["tag"], "hvc1")
                    self.assertIn("HEVC Video Extensions", run.lines[-2])
                self.assertEqual(recordings.decode_errors(tgt), "")

    def test_g711_audio_converted_video_copied(self):
        for name in ("alaw.avi", "mulaw.mkv"):
            with self.subTest(name):
                _, _, src, tgt = self.convert(name, ("h264", 320, 240), "aac")
                self.assertEqual(recordings.decode_errors(tgt), "")
                self.assertEqual(recordings.video_md5(tgt), recordings.video_md5(src), "video not copied")

    def test_gap_in_the_timestamps_is_not_filled(self):
        src_info = recordings.probe(REC.path("gap.ts"))
        frames_in = recordings.streams_of(src_info, "video")[0]["packets"]
        # The gap may be kept (same length) or closed by ffmpeg, never filled.
        run, info, _, tgt = self.convert("gap.ts", ("h264", 320, 240), "aac",
                                         seconds=src_info["duration"], tolerance=src_info["duration"])
        frames_out = recordings.streams_of(info, "video")[0]["packets"]
        self.assertLessEqual(frames_out, 1.05 * frames_in, run)
        self.assertGreaterEqual(frames_out, 0.95 * frames_in, run)
        self.assertLessEqual(info["duration"], src_info["duration"] + 1, run)
        # Frames keep their spacing (25 fps) on both sides of the gap: none squeezed together.
        times = recordings.frame_times(tgt)
        steps = [b - a for a, b in zip(times, times[1:])]
        self.assertGreaterEqual(min(steps), 0.03, "frames squeezed together: %r" % times)
        self.assertEqual(recordings.decode_errors(tgt), "")

    def test_interlaced_mpeg2_deinterlaced(self):
        _, _, _, tgt = self.convert("interlaced.mpg", ("h264", 720, 576), "aac")
        self.assertEqual(recordings.decode_errors(tgt), "")
        combed, progressive = recordings.interlace_counts(tgt)
        self.assertLess(combed, 0.1 * (combed + progressive), "frames still interlaced: %d of %d"
                        % (combed, combed + progressive))

    def test_ts_cut_mid_packet(self):
        # The last frame is cut short in the recording itself: the MP4 may carry that one
        # damaged frame, nothing worse.
        _, _, src, tgt = self.convert("cut.ts", ("h264", 320, 240), "aac")
        self.assertLessEqual(recordings.decode_error_count(tgt), recordings.decode_error_count(src))


class CameraFootage(Checks):
    """Recordings as recorders, body cams and dash cams write them."""

    def test_video_whose_first_keyframe_comes_late_is_kept(self):
        run, info, _, tgt = self.convert("late keyframe.ts", ("h264", 640, 360), "aac")
        self.assertNotIn("without data", "\n".join(run.lines))
        self.assertGreater(recordings.streams_of(info, "video")[0]["packets"], 250, info)
        self.assertEqual(recordings.decode_errors(tgt), "")

    def test_video_without_a_picture_is_not_dropped_for_a_sound_only_success(self):
        where = folder("no keyframe")
        src = shutil.copy(REC.path("no keyframe.ts"), where)
        run = run_qm(BIN, winpath(src), winpath(os.path.splitext(src)[0] + ".mp4"))
        self.check_failed(run, 5, [os.path.basename(src)], where)
        self.assertIn("finds no picture", run.final)

    def test_recordings_cut_short_keep_what_can_be_read(self):
        for name in ("cut faststart.mp4", "cut fragmented.mp4"):
            with self.subTest(name):
                run, info, src, tgt = self.convert(name, ("h264", 320, 240), "aac", seconds=6, tolerance=1.5)
                self.assertEqual(sum(1 for l in run.lines if l.startswith("Method:")), 1, run)
                self.assertTrue(any(l.startswith("Note: the recording ends early") for l in run.lines)
                                or "fragmented" in name, run)
                for s in info["streams"]:
                    self.assertGreater(s["packets"], 100 if s["type"] == "video" else 200, info)
                # No packet cut in half reaches the MP4.
                self.assertEqual(recordings.decode_errors(tgt, stop_at_first=False), "")

    def test_a_short_clip_is_a_recording(self):
        run, info, _, tgt = self.convert("short clip.mp4", ("h264", 320, 240), "aac", tolerance=0.1)
        self.assertEqual(sum(1 for l in run.lines if l.startswith("Method:")), 1, run)
        self.assertEqual(recordings.streams_of(info, "video")[0]["packets"], 5, info)
        self.assertEqual(recordings.decode_errors(tgt), "")

    def test_the_main_video_is_the_clip_not_a_larger_still(self):
        run, info, _, _ = self.convert("motion photo.mp4", ("h264", 640, 480), "aac")
        self.assertEqual(recordings.streams_of(info, "video")[0]["packets"], 50, info)
        self.assertTrue(any(l.startswith("Left out:") and "a still picture" in l for l in run.lines), run)

    def test_packed_sound_comes_out_whole(self):
        # AMR packed five frames to a sample: ffmpeg 5.1's MP4 reader gives a fifth of it.
        run, info, _, tgt = self.convert("packed amr.3gp", ("h264", 176, 144), "aac")
        self.assertAlmostEqual(recordings.sound_seconds(tgt), 4.5, delta=0.15)   # + AAC padding
        self.assertEqual(recordings.decode_errors(tgt), "")

    def test_bframes_from_avi_play_in_order(self):
        # The stream decides, not its first frames: the late one's first 125 come in order.
        for name, frames in (("bframes.avi", 150), ("late bframes.avi", 200)):
            with self.subTest(name):
                run, info, _, tgt = self.convert(name, ("h264", 320, 240), "aac")
                self.assertIn("re-timed", run.lines[-2])
                self.assertEqual(recordings.streams_of(info, "video")[0]["packets"], frames, info)
                self.assertEqual(recordings.decode_errors(tgt), "")

    def test_av1_is_copied(self):
        # This ffmpeg cannot decode AV1, so copying is the only way.
        _, _, src, tgt = self.convert("av1.mkv", ("av1", 320, 240), None)
        self.assertEqual(recordings.video_md5(tgt), recordings.video_md5(src), "video not copied")

    def test_odd_size_is_cropped_not_rescaled(self):
        _, info, _, tgt = self.convert("odd size.avi", ("h264", 320, 240), None)
        r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                            "stream=sample_aspect_ratio", "-of", "csv=p=0", tgt], stdout=subprocess.PIPE, timeout=60)
        self.assertIn(r.stdout.decode().strip(), ("1:1", "N/A", "0:1"))

    def test_everything_the_camera_recorded_is_kept(self):
        # A second sound track, telemetry, the timecode, the rotation and a phone's keys for its
        # place, make, model and local date reach the MP4 unchanged, after the main picture and sound, by
        # remux and by re-encode (which turns the pictures themselves); the Result line names them.
        for name, way, size in (("everything camera.mov", "remuxed", (320, 240)),
                                ("everything camera mpeg4.mov", "converted mpeg4", (240, 320))):
            with self.subTest(name):
                run, info, src, tgt = self.convert(name, ("h264",) + size, ["aac", "aac"], seconds=5)
                self.assertEqual([(s["type"], s["tag"]) for s in info["streams"]],
                                 [("video", "avc1"), ("audio", "mp4a"), ("audio", "mp4a"), ("data", "gpmd"),
                                  ("data", "tmcd")])
                source = recordings.probe(src)["streams"]
                self.assertEqual([s["packets"] for s in info["streams"][1:4]], [s["packets"] for s in source[1:4]])
                self.assertEqual(recordings.data_md5(tgt), recordings.data_md5(src), "the telemetry changed")
                tags, own = recordings.format_tags(tgt), recordings.format_tags(src)
                for key in ("location.ISO6709", "make", "model", "software", "creationdate"):
                    key = "com.apple.quicktime." + key
                    self.assertEqual(tags.get(key), own[key], key)
                self.assertTrue(tags.get("location", "").startswith("+48.8584+002.2945"), tags)
                self.assertNotEqual(tags.get("major_brand", "").strip(), "qt", tags)
                self.assertEqual(recordings.stream_tags(tgt)[0].get("timecode"), "10:20:30:00")
                self.assertEqual(recordings.rotation(tgt), recordings.rotation(src) if size == (320, 240) else 0)
                self.assertNotEqual(recordings.rotation(src), 0)
                result = next(l for l in run.lines if l.startswith("Result:"))
                self.assertIn(way, result)
                self.assertTrue(result.endswith("+ another sound track (aac), GPS/telemetry (gpmd), timecode"), result)
        # A camcorder's timecode, and its recording time still the MP4's.
        run, info, _, tgt = self.convert("timecode.mov", ("h264", 320, 240), "aac")
        self.assertEqual([s["type"] for s in info["streams"]], ["video", "audio", "data"], info)
        self.assertEqual(recordings.stream_tags(tgt)[0].get("timecode"), "01:00:00:00")
        self.assertEqual(recordings.creation_time(tgt)[:19], "2024-05-01T10:20:30")
        self.assertIn("Note: the MP4 keeps the recording's own time: 2024-05-01 10:20:30 UTC", run.lines)

    def test_source_file_time_kept_when_the_recording_states_none(self):
        where = folder("dated")
        src = shutil.copy(REC.path("plain.ts"), where)
        stamp = calendar.timegm((2023, 2, 3, 4, 5, 6, 0, 0, 0))
        os.utime(src, (stamp, stamp))
        tgt = os.path.splitext(src)[0] + ".mp4"
        run = run_qm(BIN, winpath(src), winpath(tgt))
        self.check_final(run, 0)
        self.assertEqual(recordings.creation_time(tgt)[:19], "2023-02-03T04:05:06", run)
        self.assertAlmostEqual(os.path.getmtime(tgt), stamp, delta=1)


class UnfinishedRecordings(Checks):
    """A camera's MP4 cut before its index was written (power cut, card pulled)."""

    def rebuild(self, name, beside=()):
        """Converts the cut recording `name`, copied as CAM_0002.ksm beside the finished ones
        `beside` ((recording, name, age in days)), and checks what every conversion must."""
        where = folder("unfinished")
        cut = shutil.copy(REC.path(name), os.path.join(where, "CAM_0002.ksm"))
        whole = REC.path(name).replace(".ksm", ".ksm.whole")
        others = {}
        for i, (recording, other, days) in enumerate(beside):
            path = shutil.copy(REC.path(recording), os.path.join(where, other))
            when = time.time() - days * 86400
            os.utime(path, (when, when))
            others[path] = (md5(path), os.path.getmtime(path))
        os.utime(cut, (time.time() - 86400, time.time() - 86400))   # recorded a day ago
        before = md5(cut)
        tgt = os.path.join(where, "CAM_0002.mp4")
        run = run_qm(BIN, winpath(cut), winpath(tgt))
        self.assertEqual(md5(cut), before, "the cut recording was written")
        for path, (digest, mtime) in others.items():
            self.assertEqual((md5(path), os.path.getmtime(path)), (digest, mtime), "%s was changed" % path)
        return run, where, cut, whole, tgt

    def check_pictures(self, run, cut, whole, tgt, within=0.0):
        """Every picture written before the cut, in its place and time (`within` seconds, for
        times the sound tells), decoding cleanly."""
        self.check_final(run, 0)
        pictures, frames, self.sound_before_cut = recordings.written_before_cut(whole, os.path.getsize(cut))
        got = recordings.frame_hashes(tgt, "video")
        self.assertEqual(len(got), pictures, run)
        # Each at its own time (a B-frame the cut kept out leaves its place empty).
        shown = recordings.frame_hashes(whole, "video")
        if within:
            nearest = [min(shown, key=lambda w: abs(w[0] - t)) for t, _ in got]
            self.assertEqual([h for _, h in got], [h for _, h in nearest], "pictures or their times differ")
            late = max(abs(t - w[0]) for (t, _), w in zip(got, nearest))
            self.assertLessEqual(late, within, "pictures are shown up to %.3f s off their times" % late)
            stated = recordings.picture_times(whole)
            late = max(min(abs(t - s) for s in stated) for t in recordings.picture_times(tgt))
            self.assertLessEqual(late, within, "pictures are stated up to %.3f s off their times" % late)
        else:
            self.assertEqual([h for _, h in got], [dict(shown).get(t) for t, _ in got], "pictures or their times differ")
        self.assertEqual(got[0][0], 0.0)
        self.assertEqual(recordings.decode_errors(tgt, stop_at_first=False), "")
        return frames

    def test_a_finished_recording_from_the_same_camera_gives_the_settings(self):
        run, where, cut, whole, tgt = self.rebuild("camera cut.mp4", [
            ("camera finished.mp4", "CAM_0001.ksm", 2),
            ("other camera.mp4", "CAM_0003.ksm", 0.9)])   # nearer in time, another camera
        frames = self.check_pictures(run, cut, whole, tgt)
        self.assertTrue(any(l.startswith("Note: rebuilt") and '"CAM_0001.ksm" from the same camera' in l
                            and "video and sound" in l for l in run.lines), run)
        # Sound split into its frames, the encoder's priming skipped as the camera's index does.
        sound = recordings.frame_hashes(tgt, "audio")
        self.assertEqual(sound, recordings.frame_hashes(whole, "audio")[:frames - 1], "sound differs")
        self.assertEqual(sorted(os.listdir(where)), ["CAM_0001.ksm", "CAM_0002.ksm", "CAM_0002.mp4", "CAM_0003.ksm"])

    def test_hevc_with_mono_sound(self):
        run, _, cut, whole, tgt = self.rebuild("hevc camera cut.mp4", [("hevc camera finished.mp4", "CAM_0001.ksm", 2)])
        frames = self.check_pictures(run, cut, whole, tgt)
        self.assertEqual(recordings.frame_hashes(tgt, "audio"), recordings.frame_hashes(whole, "audio")[:frames - 1])

    def test_g711_and_pcm_sound_in_quicktime(self):
        # Quiet 16-bit sound is mostly bytes 00 and FF: what looks like a picture's length there
        # must not be taken for one.
        for kind in ("mulaw", "quiet pcm"):
            with self.subTest(kind):
                run, _, cut, whole, tgt = self.rebuild(kind + " camera cut.mov",
                                                       [(kind + " camera finished.mov", "CAM_0001.ksm", 2)])
                self.check_pictures(run, cut, whole, tgt)
                # Every whole chunk of sound before the cut, none of the cut picture (converted to
                # AAC, whose last frame of 1024 samples is filled up).
                self.assertGreaterEqual(recordings.sound_seconds(tgt), self.sound_before_cut - 0.01)
                self.assertLessEqual(recordings.sound_seconds(tgt), self.sound_before_cut + 1024 / 8000)

    def test_parameter_sets_the_stream_repeats(self):
        # The frame rate from the stream's own timing; the sound's layout from its frames.
        for name, sound in (("camera cut repeating headers.mp4", "AAC, 48000 Hz, stereo"),
                            ("hevc camera cut repeating headers.mp4", "AAC, 44100 Hz, mono")):
            with self.subTest(name):
                run, where, cut, whole, tgt = self.rebuild(name)
                frames = self.check_pictures(run, cut, whole, tgt)
                self.assertTrue(any("settings its video repeats" in l and sound in l for l in run.lines), run)
                # No finished recording tells the priming: the sound keeps its first frame.
                got = [h for _, h in recordings.frame_hashes(tgt, "audio")]
                self.assertEqual(len(got), frames, run)
                self.assertEqual(got[1:], [h for _, h in recordings.frame_hashes(whole, "audio")][:frames - 1])
                self.assertEqual(sorted(os.listdir(where)), ["CAM_0002.ksm", "CAM_0002.mp4"])

    def test_a_phones_rotation_and_the_other_tracks_of_cameras(self):
        # The track header's matrix of the finished recording holds for the cut one.
        run, _, cut, whole, tgt = self.rebuild("phone cut.mp4", [("phone finished.mp4", "CAM_0001.ksm", 2)])
        self.check_pictures(run, cut, whole, tgt)
        self.assertEqual(recordings.rotation(tgt), recordings.rotation(whole))
        self.assertNotEqual(recordings.rotation(tgt), 0)
        # A camera that records no sound but telemetry between its pictures: every picture comes
        # back, and the note does not mourn sound that never was.
        run, _, cut, whole, tgt = self.rebuild("telemetry camera cut.mov",
                                               [("telemetry camera finished.mov", "CAM_0001.ksm", 2)])
        self.check_pictures(run, cut, whole, tgt)
        self.assertFalse(any("sound" in l for l in run.lines if l.startswith("Note: rebuilt")), run)
        # A camera's timecode track, as its finished recording describes it, comes back too.
        run, _, cut, whole, tgt = self.rebuild("timecode camera cut.mov",
                                               [("timecode camera finished.mov", "CAM_0001.ksm", 2)])
        self.check_pictures(run, cut, whole, tgt)
        self.assertTrue(any("with its other tracks: tmcd (1 sample)" in l for l in run.lines), run)

    def test_a_held_first_picture_and_sound_that_starts_later(self):
        # A thermal camera holds its first picture 2 s, then shows one every 0.113 s: the sound
        # around the pictures times the hold, not the finished recording's first interval. The
        # sound starts as late as the finished recording's, in its language.
        run, _, cut, whole, tgt = self.rebuild("held camera cut.mp4", [("held camera finished.mp4", "CAM_0001.ksm", 2)])
        self.check_pictures(run, cut, whole, tgt, within=0.05)
        sound = recordings.frame_hashes(tgt, "audio")
        self.assertEqual(sound, recordings.frame_hashes(whole, "audio")[:len(sound)], "sound differs")
        self.assertGreaterEqual(len(sound), self.sound_before_cut / (1024 / 48000) - 2)
        tags = recordings.stream_tags(tgt)
        self.assertEqual([t.get("language") for t in tags], ["und", "swe"])
        self.assertTrue(any("held" in l for l in run.lines if l.startswith("Note: rebuilt")), run)

    def test_an_action_cameras_telemetry_comes_back(self):
        # Its GPMF samples between the pictures and sound are listed again as the finished
        # recording describes them, and the MP4 keeps them: every one written before the cut,
        # whole, at its time.
        run, _, cut, whole, tgt = self.rebuild("action camera cut.mov",
                                               [("action camera finished.mov", "CAM_0001.ksm", 2)])
        self.check_pictures(run, cut, whole, tgt)
        r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "d:0", "-show_entries", "packet=pos,size",
                            "-of", "csv=p=0", whole], stdout=subprocess.PIPE, check=True, text=True)
        written = sum(1 for l in r.stdout.split() if sum(map(int, l.split(","))) <= os.path.getsize(cut))
        self.assertGreater(written, 8)
        self.assertEqual(recordings.data_md5(tgt), recordings.data_md5(whole)[:written])
        self.assertEqual(recordings.data_times(tgt), recordings.data_times(whole)[:written])
        self.assertTrue(run.lines[-2].endswith("+ GPS/telemetry (gpmd)"), run)

    def test_a_damaged_stretch_in_the_middle(self):
        # A fifth of the data zeroed in its middle: every picture before it and from the next
        # keyframe after it comes back; the time it lasted is kept as a pause, so what follows
        # is shown at about its own time, sound and pictures in step.
        run, _, cut, whole, tgt = self.rebuild("damaged camera cut.mp4", [("camera finished.mp4", "CAM_0001.ksm", 2)])
        self.check_final(run, 0)
        begin, end = map(int, open(REC.path("damaged camera cut.mp4") + ".damage").read().split())
        packets = recordings.video_packets(whole)
        resume = next(p for p in packets if p[3] and p[0] >= end)[0]
        kept = [p for p in packets if p[0] + p[1] <= begin or resume <= p[0] and p[0] + p[1] <= os.path.getsize(cut)]
        shown = dict(recordings.frame_hashes(whole, "video"))
        got = recordings.frame_hashes(tgt, "video")
        self.assertEqual(sorted(h for _, h in got), sorted(shown[p[2]] for p in kept), "pictures differ")
        self.assertEqual(recordings.decode_errors(tgt, stop_at_first=False), "")
        note = next(l for l in run.lines if l.startswith("Note: rebuilt"))
        lost = re.search(r"damaged \(zeros\) and skipped: about (\d+\.\d) s", note)
        self.assertIsNotNone(lost, note)
        truly = (len([p for p in packets if p[0] + p[1] <= os.path.getsize(cut)]) - len(kept)) / 25
        self.assertAlmostEqual(float(lost.group(1)), truly, delta=0.3 * truly, msg=note)
        # Those before it at their own times; how far the last picture and the last sound
        # frames are shown from theirs.
        when = {h: t for t, h in shown.items()}
        before = {shown[p[2]] for p in kept if p[0] < begin}
        self.assertEqual([t for t, h in got if h in before], [when[h] for t, h in got if h in before])
        late_pictures = got[-1][0] - when[got[-1][1]]
        late_sound = recordings.last_sound_shift(tgt, whole)
        self.assertLessEqual(abs(late_pictures), 0.3 * truly, "pictures after the damage are shown %.3f s off" % late_pictures)
        self.assertLessEqual(abs(late_sound - late_pictures), 0.06, "sound %.3f s, pictures %.3f s off their times"
                             % (late_sound, late_pictures))

    def test_neither_says_what_would_bring_it_back(self):
        run, where, _, _, _ = self.rebuild("camera cut.mp4", [("camera finished.mp4", "CAM_0001.mov", 1)])
        self.check_failed(run, 2, ["CAM_0001.mov", "CAM_0002.ksm"], where)
        self.assertIn("put a recording the same camera finished (same kind of file) in the same folder", run.final)


class CameraCard(Checks):
    """A folder of recordings, as a camera card or a recorder's export holds them."""

    def test_a_card_in_one_run_and_a_second_run_passes_it_by(self):
        card = folder("card")
        clips = os.path.join(card, "DCIM", "100CAM")
        os.makedirs(clips)
        made = [shutil.copy(REC.path("plain.ts"), os.path.join(clips, "CAM_0001.KSM")),
                shutil.copy(REC.path("camera finished.mp4"), os.path.join(card, "CAM_0002.ksm"))]
        with open(os.path.join(clips, "CAM_0003.ksm"), "w") as f:
            f.write("not a recording\n")
        with open(os.path.join(card, "notes.txt"), "w") as f:
            f.write("the card's own file\n")
        run = run_qm(BIN, winpath(card) + "\\", None)   # as a completed folder name ends
        # A verdict line for each recording as it ends, the folder's last.
        self.assertEqual(run.rc, 5, run)
        self.assertTrue(run.lines[-1].startswith(FAILED) and "(DCIM\\100CAM\\CAM_0003.ksm;" in run.lines[-1], run)
        self.assertIn("Folder done: 2 converted, 0 already up to date, 1 failed", run.lines, run)
        self.assertEqual(sum(1 for l in run.lines if l.startswith("Conversion succeeded: \"")), 2, run)
        self.assertEqual(sorted(os.listdir(card)), ["CAM_0002.ksm", "CAM_0002.mp4", "DCIM", "notes.txt"])
        self.assertEqual(sorted(os.listdir(clips)), ["CAM_0001.KSM", "CAM_0001.mp4", "CAM_0003.ksm"])
        for src in made:
            tgt = os.path.splitext(src)[0] + ".mp4"
            self.assertEqual(recordings.decode_errors(tgt), "")
            self.assertAlmostEqual(os.path.getmtime(tgt), os.path.getmtime(src), delta=1)
        # Again, with the broken one gone: what was converted is passed by, untouched.
        os.remove(os.path.join(clips, "CAM_0003.ksm"))
        before = {p: md5(p) for p in (os.path.join(card, "CAM_0002.mp4"), os.path.join(clips, "CAM_0001.mp4"))}
        run = run_qm(BIN, winpath(card), None)
        self.check_final(run, 0)
        self.assertIn("Folder done: 0 converted, 2 already up to date, 0 failed", run.lines, run)
        self.assertEqual(len([l for l in run.lines if l.startswith("Up to date: ")]), 2, run)
        self.assertEqual({p: md5(p) for p in before}, before)
        # A folder without a recording says so.
        empty = folder("no recordings")
        run = run_qm(BIN, winpath(empty), None)
        self.check_failed(run, 2, [], empty)
        self.assertIn("holds no recording", run.final)

    def test_a_run_stopped_half_way_leaves_finished_mp4s_and_picks_up_there(self):
        card = folder("stopped card")
        for n in range(1, 4):
            shutil.copy(REC.path("camera finished.mp4"), os.path.join(card, "CAM_%04d.ksm" % n))
        proc = subprocess.Popen(["timeout", "-k", "5", "300", "wine", "cmd", "/c", "qm.bat", winpath(card)], cwd=BIN,
                                env=qmkit.wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        seen = []
        for raw in proc.stdout:
            seen.append(raw)
            if raw.startswith(OK.encode()):
                break
        proc.stdout.close()   # the window closed: nobody reads any more
        started = time.monotonic()
        proc.wait(60)
        self.assertLess(time.monotonic() - started, 20, seen)
        left = sorted(os.listdir(card))
        self.assertEqual([n for n in left if not n.endswith(".ksm")], ["CAM_0001.mp4"], seen)
        self.assertEqual(recordings.decode_errors(os.path.join(card, "CAM_0001.mp4")), "")
        run = run_qm(BIN, winpath(card), None)
        self.assertIn("Folder done: 2 converted, 1 already up to date, 0 failed", run.lines, run)


def make_chapter_card(card):
    """A GoPro card: one recording in three chapters; one whose second chapter is missing; one
    whose second chapter was cut by a power loss; one whose "second chapter" is another
    camera's recording; a dash cam's two segments; a text file named as a recording."""
    gopro = os.path.join(card, "DCIM", "100GOPRO")
    dash = os.path.join(card, "DASH")
    os.makedirs(gopro)
    os.makedirs(dash)
    whole = os.path.join(card, "..", os.path.basename(card) + " whole.mov")

    def chapters(seconds, each, names, size="320x240"):
        recordings.write_chaptered_camera(whole, seconds, size)
        recordings.split_into_chapters(whole, [os.path.join(gopro, n) for n in names], each)

    chapters(9, 3, ["GH010124.ksm", "GH020124.ksm", "GH030124.ksm"])
    os.remove(os.path.join(gopro, "GH020124.ksm"))
    cut = os.path.join(gopro, "GH020125.ksm")
    chapters(8, 4, ["GH010125.ksm", cut + ".finished"])
    recordings.make_unfinished_mp4(cut, write=lambda w: os.rename(cut + ".finished", w))
    os.remove(cut + ".whole")
    # Chapter 2 of another recording of the same camera, an hour later.
    chapters(8, 4, ["GH010127.ksm", os.path.join(card, "..", "unused.ksm")])
    recordings.write_chaptered_camera(whole, 8, created="2026-05-01T11:00:00Z", timecode="11:00:00:00")
    recordings.split_into_chapters(whole, [os.path.join(card, "..", "unused.ksm"), os.path.join(gopro, "GH020127.ksm")],
                                   4, created=(2026, 5, 1, 11, 0, 0), timecode_hour=11)
    recordings.write_chaptered_camera(os.path.join(gopro, "GH010126.ksm"), 4)
    recordings.write_camera_mp4(os.path.join(gopro, "GH020126.ksm"), seconds=4)
    recordings.write_chaptered_camera(whole, 6)
    recordings.split_into_chapters(whole, [os.path.join(dash, "20260501_100000.ksm"),
                                           os.path.join(dash, "20260501_100003.ksm")], 3)
    with open(os.path.join(card, "notes.ksm"), "w") as f:
        f.write("not a recording\n")
    chapters(12, 4, ["GH010123.ksm", "GH020123.ksm", "GH030123.ksm"])   # kept: the reference
    return whole


class Chapters(Checks):
    """A camera's chapters joined into one MP4, judged against the recording before the split."""

    def test_chapters_joined_as_one_and_every_other_case_said(self):
        card = folder("chapters")
        whole = make_chapter_card(card)
        gopro = os.path.join(card, "DCIM", "100GOPRO")
        run = run_qm(BIN, winpath(card), None)
        self.assertEqual(run.rc, 5, run)
        self.assertIn("Folder done: 11 converted (1 joined from 3 chapters), 0 already up to date, 1 failed", run.lines,
                      run)
        said = "\n".join(run.lines)
        self.assertIn('Not joined: "GH030124.ksm": chapter 2 of this recording is missing before it', said)
        self.assertIn('Not joined: "GH020125.ksm": it has no index', said)
        self.assertIn('Not joined: "GH020126.ksm" does not continue "GH010126.ksm": it has other tracks', said)
        self.assertIn('Not joined: "GH020127.ksm" does not continue "GH010127.ksm": its timecode does not continue the '
                      'last chapter\'s (90000 frames off)', said)
        # Nothing beside the card's files but an MP4 each (chapters: one, after the first).
        self.assertEqual(sorted(os.listdir(gopro)),
                         sorted(["GH010123.ksm", "GH020123.ksm", "GH030123.ksm", "GH010123.mp4", "GH010124.ksm",
                                 "GH010124.mp4", "GH030124.ksm", "GH030124.mp4", "GH010125.ksm", "GH010125.mp4",
                                 "GH020125.ksm", "GH020125.mp4", "GH010126.ksm", "GH010126.mp4", "GH020126.ksm",
                                 "GH020126.mp4", "GH010127.ksm", "GH010127.mp4", "GH020127.ksm", "GH020127.mp4"]))
        self.assertEqual(sorted(os.listdir(os.path.join(card, "DASH"))),
                         ["20260501_100000.ksm", "20260501_100000.mp4", "20260501_100003.ksm", "20260501_100003.mp4"])
        self.assertEqual(sorted(os.listdir(card)), ["DASH", "DCIM", "notes.ksm"])

        joined = os.path.join(gopro, "GH010123.mp4")
        self.assertEqual(recordings.decode_errors(joined), "")
        # Every picture once, in order, each at its own time (one shift for all: no gap and
        # no repeat at a join); the sound whole, at the same shift (in step at every join).
        pictures, theirs = recordings.frame_hashes(joined, "v"), recordings.frame_hashes(whole, "v")
        self.assertEqual([h for _, h in pictures], [h for _, h in theirs])
        shift = pictures[0][0] - theirs[0][0]
        self.assertTrue(all(abs(a[0] - b[0] - shift) < 1e-3 for a, b in zip(pictures, theirs)), shift)
        sound, heard = recordings.frame_hashes(joined, "a"), recordings.frame_hashes(whole, "a")
        start = [h for _, h in sound].index(heard[0][1])
        self.assertEqual([h for _, h in sound[start:]], [h for _, h in heard])
        self.assertTrue(all(abs(a[0] - b[0] - shift) < 2e-3 for a, b in zip(sound[start:], heard)))
        # Every track: the telemetry byte for byte, the timecode and recording time of the first.
        streams = [(s["type"], s["tag"], s["packets"]) for s in recordings.probe(joined)["streams"]]
        self.assertEqual(streams[:3], [("video", "avc1", 300), ("audio", "mp4a", len(sound)), ("data", "gpmd", 96)])
        self.assertEqual(streams[3][:2], ("data", "tmcd"))
        self.assertEqual(recordings.data_md5(joined), recordings.data_md5(whole))
        self.assertEqual(recordings.stream_tags(joined)[0].get("timecode"), "10:00:00:00")
        self.assertTrue(recordings.creation_time(joined).startswith("2026-05-01T10:00:00"))

        # Again: every recording passed by, the MP4s untouched.
        before = {n: md5(os.path.join(gopro, n)) for n in os.listdir(gopro) if n.endswith(".mp4")}
        run = run_qm(BIN, winpath(card), None)
        self.assertIn("Folder done: 0 converted, 13 already up to date, 1 failed", run.lines, run)
        self.assertEqual({n: md5(os.path.join(gopro, n)) for n in before}, before)

    def test_dash_cam_segments_joined_when_asked(self):
        # Two MP4 segments of one stream, then one its camera started afresh right after them:
        # its sound begins with a new encoder's start, which a join would add to the sound.
        dash = folder("segments")
        whole = os.path.join(dash, "..", os.path.basename(dash) + " whole.mov")
        recordings.write_chaptered_camera(whole, 6)
        recordings.split_into_chapters(whole, [os.path.join(dash, "20260501_100000.ksm"),
                                               os.path.join(dash, "20260501_100003.ksm")], 3, kind="mp4")
        recordings.write_chaptered_camera(os.path.join(dash, "20260501_100006.ksm"), 3,
                                          created="2026-05-01T10:00:06Z", timecode="10:00:06:00")
        run = run_qm(BIN, winpath(dash), "--join-segments")
        self.assertEqual(run.rc, 0, run)
        self.assertIn("Folder done: 2 converted (1 joined from 2 chapters), 0 already up to date, 0 failed", run.lines)
        # MP4 already: joined as they are, every picture and sound frame, every track.
        self.assertIn("Result: H.264 320x240 + AAC 48.0 kHz, ", "\n".join(run.lines))
        self.assertIn("; joined without re-encoding + GPS/telemetry (gpmd), timecode", "\n".join(run.lines))
        joined = os.path.join(dash, "20260501_100000.mp4")
        self.assertEqual(recordings.decode_errors(joined), "")
        self.assertEqual([h for _, h in recordings.frame_hashes(joined, "v")],
                         [h for _, h in recordings.frame_hashes(whole, "v")])
        self.assertEqual([h for _, h in recordings.frame_hashes(joined, "a")][-200:],
                         [h for _, h in recordings.frame_hashes(whole, "a")][-200:])
        self.assertEqual(recordings.data_md5(joined), recordings.data_md5(whole))
        self.assertEqual(recordings.stream_tags(joined)[0].get("timecode"), "10:00:00:00")
        self.assertTrue(recordings.creation_time(joined).startswith("2026-05-01T10:00:00"))
        self.assertEqual(recordings.top_boxes(joined)[:3], ["ftyp", "moov", "mdat"])
        self.assertEqual(sorted(os.listdir(dash)), ["20260501_100000.ksm", "20260501_100000.mp4",
                                                    "20260501_100003.ksm", "20260501_100006.ksm",
                                                    "20260501_100006.mp4"])


class Progress(Checks):
    def test_progress_every_few_seconds_and_none_after_the_verdict(self):
        # A re-encode of a minute of 720p takes several seconds: its lines are timed as
        # they come.
        where = folder("progress")
        src = shutil.copy(REC.path("long mpeg2.mpg"), where)
        tgt = os.path.join(where, "out.mp4")
        started = time.monotonic()
        proc = subprocess.Popen(["timeout", "-k", "5", "300", "wine", "cmd", "/c", "qm.bat", winpath(src), winpath(tgt)],
                                cwd=BIN, env=qmkit.wine_env(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        timed = []
        for raw in proc.stdout:
            line = qmkit.split_lines(raw)[0].strip()
            if line:
                timed.append((time.monotonic(), line))
        proc.wait(60)
        run = qmkit.Run(proc.returncode, b"\r\n".join(l.encode(qmkit.ANSI, "replace") for _, l in timed),
                        time.monotonic() - started)
        self.check_final(run, 0)
        begun = timed[0][0]   # the engine's first line
        ticks = [(t - begun, l) for t, l in timed if l.startswith("Progress:")]
        self.assertGreaterEqual(len(ticks), 2, run)
        self.assertGreaterEqual(ticks[0][0], 2.8, ticks)
        for (a, _), (b, _) in zip(ticks, ticks[1:]):
            self.assertTrue(2.0 <= b - a <= 4.0, ticks)
        pattern = r"Progress: \d:\d\d:\d\d of 0:01:00 \(\d+%\), about \d:\d\d:\d\d left$"
        for _, line in ticks:
            self.assertRegex(line, pattern)
        self.assertTrue(run.lines[-2].startswith("Result:"), run)


class Targets(Checks):
    """Targets that cannot be replaced and targets that are the source."""

    def kept_beside(self, hold):
        """A finished conversion onto a target that cannot be replaced: exit 4, the old
        target untouched, the new MP4 kept under the neighbouring name the output gives."""
        where = folder("held")
        src = shutil.copy(REC.path("plain.ts"), where)
        tgt = os.path.splitext(src)[0] + ".mp4"
        with open(tgt, "wb") as f:
            f.write(b"older conversion")
        before = sorted(os.listdir(where))
        release = hold(tgt)
        try:
            run = run_qm(BIN, winpath(src), winpath(tgt))
        finally:
            release()
        self.check_final(run, 4)
        with open(tgt, "rb") as f:
            self.assertEqual(f.read(), b"older conversion")
        named = [p for p in quoted_paths(run, ".mp4", final_only=True) if p != tgt]
        self.assertEqual(len(named), 1, run)
        kept = named[0]
        self.assertEqual(os.path.dirname(kept), where)
        self.assertTrue(os.path.isfile(kept), run)
        self.assertEqual(recordings.decode_errors(kept), "")
        self.assertAlmostEqual(recordings.probe(kept)["duration"], 3.0, delta=0.3)
        self.assertTrue(set(os.listdir(where)) - set(before) <=
                        {os.path.basename(kept)} | {os.path.basename(p) for p in quoted_paths(run, ".log")}, run)

    def test_target_open_in_a_player(self):
        def hold(tgt):
            holder = Holder(tgt)
            return holder.stop
        self.kept_beside(hold)

    def test_a_scanner_holding_the_new_mp4(self):
        where = folder("scanned")
        src = shutil.copy(REC.path("plain.ts"), where)
        tgt = os.path.splitext(src)[0] + ".mp4"

        def scanned(seconds, env=None):
            scanner = subprocess.Popen(["timeout", "-k", "5", "200", "wine", os.path.join(BIN, "TestAid.exe"), "scan",
                                        winpath(tgt), str(seconds)], env=qmkit.wine_env(), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            self.assertEqual(scanner.stdout.readline().strip(), b"watching")
            run = run_qm(BIN, winpath(src), winpath(tgt), extra_env=env)
            self.assertEqual(scanner.stdout.readline().strip(), b"holding", "the scanner never held the MP4")
            scanner.wait(timeout=200)
            return run

        # Held for 20 s: waited for, said, placed, nothing left beside it.
        run = scanned(20)
        self.check_final(run, 0)
        self.assertTrue(any(l.startswith("Waiting: the new MP4 is held by another program") for l in run.lines), run)
        self.assertEqual(sorted(os.listdir(where)), sorted(os.path.basename(p) for p in (src, tgt)), run)
        # Held past the wait (6 s here, 90 s for users): kept under its own name, which
        # neither this run nor the next ones on the same recording take away, also once the
        # sweep takes folders for stale at once (1 s here, a minute for users) - on a volume
        # with hard links and on a card without them (FAT32, exFAT: a copy).
        for volume in ({}, {"QMCONVERT_NO_HARD_LINKS": "1"}):
            with self.subTest(volume=volume or "hard links"):
                if os.path.exists(tgt):
                    os.remove(tgt)
                run = scanned(30, dict(volume, QMCONVERT_HELD_SECONDS="6"))
                self.check_failed(run, 4)
                kept = [p for p in quoted_paths(run, ".mp4", final_only=True) if p != tgt]
                self.assertEqual(len(kept), 1, run)
                self.assertEqual(os.path.basename(kept[0]), os.path.basename(tgt))
                time.sleep(2)
                for again in range(2):
                    self.check_final(run_qm(BIN, winpath(src), winpath(tgt),
                                            extra_env=dict(volume, QMCONVERT_STALE_SECONDS="1")), 0)
                    self.assertTrue(os.path.isfile(kept[0]), "the kept MP4 is gone")
                self.assertEqual(recordings.decode_errors(kept[0]), "")

    def test_read_only_target(self):
        def hold(tgt):
            os.chmod(tgt, 0o444)   # Wine shows a file without write bits as read-only
            return lambda: os.chmod(tgt, 0o644)
        self.kept_beside(hold)

    def test_a_users_own_log_beside_the_target_is_left_alone(self):
        where = folder("own log")
        for name, data, code in [("plain", None, 0), ("broken", os.urandom(30000), 5)]:
            with self.subTest(name):
                src = os.path.join(where, name + ".ksm")
                if data is None:
                    shutil.copy(REC.path("plain.ts"), src)
                else:
                    with open(src, "wb") as f:
                        f.write(data)
                own = os.path.join(where, name + ".mp4.log")
                with open(own, "wb") as f:
                    f.write(b"my notes on this recording")
                before = sorted(os.listdir(where))
                run = run_qm(BIN, winpath(src), winpath(os.path.join(where, name + ".mp4")))
                if code:
                    self.check_failed(run, code, before, where)
                    self.assertNotIn(own, quoted_paths(run, ".log"), run)
                else:
                    self.check_final(run, 0)
                with open(own, "rb") as f:
                    self.assertEqual(f.read(), b"my notes on this recording", run)

    def test_target_is_the_source_in_another_spelling(self):
        where = folder("same")
        src = shutil.copy(REC.path("plain.ts"), os.path.join(where, "Front door camera 2026-12-07.ksm"))
        before = md5(src)
        short = aid("short", winpath(src))
        self.assertNotEqual(short.lower(), winpath(src).lower())
        self.assertTrue(short.upper().endswith(".KSM") and "~" in short, short)
        for what, tgt in [("same path", winpath(src)),
                          ("other letter case", winpath(src).upper()),
                          ("8.3 short name", short),
                          ("relative form", os.path.relpath(src, BIN).replace("/", "\\"))]:
            with self.subTest(what):
                run = run_qm(BIN, winpath(src), tgt)
                self.check_failed(run, 2, [os.path.basename(src)], where)
                self.assertEqual(md5(src), before, "the source was written")


class Faults(Checks):
    """ffmpeg that hangs or is missing, and sources that cannot be converted."""

    def test_stuck_ffmpeg_is_stopped(self):
        prog = program_folder(ffmpeg="stuck")
        where = folder("stuck")
        src = shutil.copy(REC.path("plain.ts"), where)
        tgt = os.path.join(where, "out.mp4")
        run = run_qm(prog, winpath(src), winpath(tgt), extra_env={"QMCONVERT_STALL_SECONDS": "3"}, timeout=120)
        self.check_failed(run, 5, [os.path.basename(src)], where)
        self.assertRegex(run.final, r"(?i)no progress|stall|stuck")
        self.assertLess(run.seconds, 60, run)
        # The stand-in was stopped, not left running.
        time.sleep(1)
        left = [c for c in wine_command_lines() if winpath(prog).lower() in c.lower()]
        self.assertEqual(left, [], "still running after the run: %r" % left)

    def test_killed_run_is_cleaned_up_by_the_next(self):
        # The engine is killed while its ffmpeg (a stand-in that never ends) writes into the
        # work folder: ffmpeg goes with it, and the next run on the same target removes
        # the folder it left.
        prog = program_folder(ffmpeg="stuck")
        self.addCleanup(kill_running_from, prog)
        where = folder("killed")
        src = shutil.copy(REC.path("plain.ts"), where)
        tgt = os.path.join(where, "out.mp4")
        run = subprocess.Popen(["timeout", "-k", "5", "120", "wine", "cmd", "/c", "qm.bat", winpath(src), winpath(tgt)],
                               cwd=prog, env=qmkit.wine_env(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while not any("ffmpeg.exe" in c.lower() for _, c in running_from(prog)):
                self.assertLess(time.monotonic(), deadline, "the stand-in ffmpeg never started")
                time.sleep(0.2)
            for pid, c in running_from(prog):
                if "qmconvert.exe" in c.lower():
                    os.kill(pid, signal.SIGKILL)
            run.wait(60)
        finally:
            if run.poll() is None:
                run.kill()
        deadline = time.monotonic() + 15
        while running_from(prog) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(running_from(prog), [], "ffmpeg outlived the engine")
        left = sorted(set(os.listdir(where)) - {"plain.ksm"})
        self.assertEqual(len(left), 1, left)
        self.assertTrue(left[0].startswith("out.mp4.qm"), left)

        done = run_qm(BIN, winpath(src), winpath(tgt))
        self.check_final(done, 0)
        self.assertEqual(sorted(os.listdir(where)), ["out.mp4", "plain.ksm"], done)

    def test_full_drive_stops_at_once(self):
        # A target drive with room for the work folder and the log, not for the MP4.
        where = folder("full drive")
        small = os.path.join(where, "stick")
        os.makedirs(small)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=96k", "tmpfs", small],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot mount a small drive here (needs root)")
        self.addCleanup(subprocess.run, ["umount", "-l", small])
        src = shutil.copy(REC.path("plain.ts"), where)
        run = run_qm(BIN, winpath(src), winpath(os.path.join(small, "out.mp4")))
        self.check_failed(run, 4, [], small)
        self.assertIn("the drive is full", run.final)
        self.assertEqual(sum(1 for l in run.lines if l.startswith("Method:")), 1, "no lossy attempts: %r" % run)

    def test_unusable_sources_leave_everything_as_it_was(self):
        where = folder("unusable")
        with open(REC.path("plain.ts"), "rb") as f:
            headers_only = f.read(1504)   # streams declared, no usable data
        for what, data, code in [("empty", b"", 2), ("random bytes", os.urandom(50000), 5),
                                 ("cut after the headers", headers_only, 5)]:
            with self.subTest(what):
                src = os.path.join(where, what + ".ksm")
                with open(src, "wb") as f:
                    f.write(data)
                tgt = os.path.join(where, what + ".mp4")
                with open(tgt, "wb") as f:
                    f.write(b"earlier conversion")
                before = sorted(os.listdir(where))
                run = run_qm(BIN, winpath(src), winpath(tgt))
                self.check_failed(run, code, before, where)
                with open(tgt, "rb") as f:
                    self.assertEqual(f.read(), b"earlier conversion")
                with open(src, "rb") as f:
                    self.assertEqual(f.read(), data)
                for log in quoted_paths(run, ".log"):
                    os.remove(log)
        before = sorted(os.listdir(where))
        for what, args, code in [("missing source", [winpath(os.path.join(where, "nope.ksm")),
                                                     winpath(os.path.join(where, "nope.mp4"))], 2),
                                 ("source is a folder", [winpath(where), winpath(os.path.join(where, "f.mp4"))], 2),
                                 ("target folder missing", [winpath(src), winpath(os.path.join(where, "no", "f.mp4"))], 4),
                                 ("one argument", [winpath(src)], 1)]:
            with self.subTest(what):
                r = subprocess.run(["timeout", "-k", "5", "120", "wine", "cmd", "/c", "qm.bat"] + args,
                                   cwd=BIN, env=qmkit.wine_env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=150)
                self.check_failed(qmkit.Run(r.returncode, r.stdout, 0), code, before, where)

    def test_programs_missing_or_broken(self):
        where = folder("missing")
        src = shutil.copy(REC.path("plain.ts"), where)
        tgt = os.path.join(where, "out.mp4")
        # A program missing on Windows was most often quarantined by a virus scanner: the line says so.
        for what, prog, named in [("no qmconvert.exe", program_folder(with_engine=False),
                                   "qmconvert.exe is missing - perhaps quarantined by a virus scanner"),
                                  ("no ffmpeg.exe", program_folder(ffmpeg=None),
                                   "ffmpeg.exe is missing - perhaps quarantined by a virus scanner"),
                                  ("ffmpeg.exe cannot run", program_folder(ffmpeg="damaged"), "ffmpeg.exe")]:
            with self.subTest(what):
                run = run_qm(prog, winpath(src), winpath(tgt))
                self.check_failed(run, 3, [os.path.basename(src)], where)
                self.assertIn(named, run.final)


class Shipped(qmkit.crashlog.CrashCheckedCase):
    def test_batch_files_have_cr_lf_line_ends(self):
        # Real cmd's label search misreads batch files with bare LF line ends.
        for path in [os.path.join(BIN, "qm.bat")] + [os.path.join(qmkit.REPO, "scripts", n)
                                                      for n in os.listdir(os.path.join(qmkit.REPO, "scripts"))
                                                      if n.lower().endswith(".bat")]:
            with self.subTest(path), open(path, "rb") as f:
                data = f.read()
            self.assertEqual(data.count(b"\n"), data.count(b"\r\n"), "bare LF in %s" % path)
            self.assertTrue(data.endswith(b"\r\n"), path)


class Names(Checks):
    def test_awkward_names_typed_as_the_program_types_them(self):
        # Typed, so only characters of the OEM code page (the program types in it). No "%":
        # Wine's cmd takes a lone "%" in a typed line for the start of a variable and drops
        # text up to the next ":" (Windows' cmd leaves it alone).
        prog = program_folder(name=os.path.join("Program Files (x86)", "ksm & co ^!"), root=WORK)
        where = os.path.join(tempfile.mkdtemp(prefix="names ", dir=WORK), "rec & (1) ^ x!")
        os.makedirs(where)
        src = shutil.copy(REC.path("alaw.avi"), os.path.join(where, "cam (2) & yard ^ 100!.ksm"))
        tgt = os.path.join(where, "été à Noël (2) & ^!.mp4")
        run = run_qm_typed(prog, winpath(src), winpath(tgt))
        self.check_final(run, 0)
        self.assertEqual(run.final, OK + '"%s"' % winpath(tgt))
        self.assertEqual(sorted(os.listdir(where)), sorted([os.path.basename(src), os.path.basename(tgt)]))
        self.assertEqual(recordings.decode_errors(tgt), "")


class LongPaths(Checks):
    def test_source_and_target_paths_over_260_characters(self):
        where = folder("long")
        for part in ("Kamera Einfahrt Nord - Aufnahmen vom Dezember zweitausendsechsundzwanzig",) * 4:
            where = os.path.join(where, part)
        os.makedirs(where)
        src = shutil.copy(REC.path("plain.ts"), os.path.join(where, "Aufnahme 2026-12-07 " + "x" * 40 + ".ksm"))
        tgt = os.path.splitext(src)[0] + ".mp4"
        self.assertGreater(len(winpath(tgt)), 300)
        run = run_qm(BIN, winpath(src), winpath(tgt))
        self.check_final(run, 0)
        self.assertEqual(run.final, OK + '"%s"' % winpath(tgt))
        self.assertEqual(sorted(os.listdir(where)), sorted([os.path.basename(src), os.path.basename(tgt)]))
        self.assertEqual(recordings.decode_errors(tgt), "")


class Concurrency(Checks):
    def test_two_runs_onto_one_target(self):
        where = folder("twice")
        src = shutil.copy(REC.path("interlaced.mpg"), where)
        tgt = os.path.join(where, "out.mp4")
        runs = [None, None]

        def one(i):
            runs[i] = run_qm(BIN, winpath(src), winpath(tgt))
        threads = [threading.Thread(target=one, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(400)
        for run in runs:
            self.check_final(run, 0)
        self.assertEqual(sorted(os.listdir(where)), sorted([os.path.basename(src), "out.mp4"]))
        self.assertEqual(recordings.decode_errors(tgt), "")


def wine_processes():
    """(Linux pid, command line in its Windows form) of the running Wine processes."""
    found = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    found.append((int(pid), f.read().replace(b"\0", b" ").decode(errors="replace")))
            except OSError:
                pass
    return [(p, c) for p, c in found if c.startswith(("Z:", "z:")) or ":\\" in c[:3]]


def wine_command_lines():
    return [c for _, c in wine_processes()]


def running_from(prog):
    return [(p, c) for p, c in wine_processes() if winpath(prog).lower() in c.lower()]


def kill_running_from(prog):
    for pid, _ in running_from(prog):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


class PeakMemory:
    """The most memory (resident, as Linux counts it) any ffmpeg.exe took while it ran."""

    def __init__(self):
        self.mib = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch)

    def _watch(self):
        while not self._stop.wait(0.1):
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        if b"ffmpeg.exe" not in f.read():
                            continue
                    with open("/proc/%s/status" % pid) as f:
                        for line in f:
                            if line.startswith("VmHWM:"):
                                self.mib = max(self.mib, int(line.split()[1]) // 1024)
                except OSError:
                    pass

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


class Strangers(Checks):
    """A recording handed in by a stranger: only the file itself is read, and it is read
    within bounds of memory, disk and time, or refused with a plain reason."""

    CAP_MIB = 1536

    def convert_crafted(self, make, code, reason, seconds=180):
        where = folder("handed in")
        src = os.path.join(where, "export.ksm")
        make(src)
        before = sorted(os.listdir(where))
        with PeakMemory() as peak:
            run = run_qm(BIN, winpath(src), winpath(src[:-4] + ".mp4"), timeout=600)
        self.check_failed(run, code, before, where)
        self.assertIn(reason, run.final)
        self.assertLess(run.seconds, seconds, run)
        self.assertLess(peak.mib, self.CAP_MIB, run)
        return run

    def test_playlists_and_scripts_open_no_other_file(self):
        root = folder("disk")
        victim = os.path.join(root, "other", "cam2.ts")
        os.makedirs(os.path.dirname(victim))
        hostile.make_victim(victim)
        # \\victimhost\share is a folder of this test's own to Wine.
        unc = os.path.join(qmkit.wine_env()["WINEPREFIX"], "dosdevices", "unc", "victimhost")
        os.makedirs(unc, exist_ok=True)
        share = os.path.join(unc, "share")
        if os.path.lexists(share):
            os.remove(share)
        os.symlink(os.path.dirname(victim), share)
        self.addCleanup(os.remove, share)
        segments = {"relative": "..\\..\\other\\cam2.ts", "absolute": winpath(victim),
                    "file URL": "file:" + winpath(victim).replace("\\", "/"), "UNC": "\\\\victimhost\\share\\cam2.ts"}
        makers = [("playlist, " + k, lambda p, seg=seg: hostile.make_hls_playlist(p, seg))
                  for k, seg in segments.items()]
        makers.append(("ID3-wrapped playlist",
                       lambda p: hostile.make_id3_wrapped_playlist(p, segments["relative"])))

        def concat(name, make_neighbour):
            def make(p):
                make_neighbour(os.path.join(os.path.dirname(p), name))
                hostile.make_concat_script(p, name)
            return make
        makers.append(("concat naming a recording", concat("neighbour.ts", hostile.make_victim)))
        makers.append(("concat naming a text", concat("notes.txt", lambda p: hostile.make_text_file(p, "secret"))))
        for what, make in makers:
            with self.subTest(what):
                where = os.path.join(root, what, "x")
                os.makedirs(where)
                src = os.path.join(where, "export.ksm")
                make(src)
                before = sorted(os.listdir(where))
                run = run_qm(BIN, winpath(src), winpath(src[:-4] + ".mp4"))
                self.check_failed(run, 2, before, where)
                self.assertEqual(run.final, FAILED + "the file is a playlist that names other files, not a recording")
                outputs = [os.path.join(d, n) for d, _, names in os.walk(root) for n in names if n.endswith(".mp4")]
                self.assertFalse([o for o in outputs if hostile.looks_like_victim(o)], run)

    def test_declared_pictures_and_streams_no_camera_writes_are_refused(self):
        self.convert_crafted(hostile.make_huge_picture_h264, 2, "declares pictures of 16000x12000", 60)
        self.convert_crafted(hostile.make_many_tracks_mp4, 2, "declares more than 64 streams", 60)

    def test_a_huge_declared_index_stops_at_the_memory_bound(self):
        self.convert_crafted(hostile.make_huge_index_mp4, 5, "than the 1536 MB it may take")

    def test_pictures_repeated_for_days_stop_within_bounds(self):
        run = self.convert_crafted(lambda p: hostile.make_edit_list_bomb(p, "h264"), 5, "the MP4 grew past", 60)
        self.assertIn("Method: remux", run.data.decode(errors="replace"))
        self.convert_crafted(lambda p: hostile.make_edit_list_bomb(p, "mjpeg"), 5, "frames from a recording of")


def main():
    global BIN, WORK, REC
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bin-dir", required=True)
    opts, rest = ap.parse_known_args()
    BIN = os.path.abspath(opts.bin_dir)
    for name in ("qm.bat", "qmconvert.exe", "ffmpeg.exe", "TestAid.exe", "StuckFfmpeg.exe"):
        if not os.path.isfile(os.path.join(BIN, name)):
            print("no %s in %s (run tools/setup and tools/build)" % (name, BIN))
            return 1
    for tool in ("wine", "ffmpeg", "ffprobe"):
        if shutil.which(tool) is None:
            print("%s is not installed (run tools/setup)" % tool)
            return 1

    WORK = tempfile.mkdtemp(prefix="qm-test-")
    os.makedirs(os.path.join(WORK, CASES))
    REC = recordings.Recordings(os.path.join(WORK, "recordings ü"))
    keeper = qmkit.start_keeper(WORK)
    try:
        qmkit.code_pages()
        loader = unittest.defaultTestLoader
        module = sys.modules[__name__]
        suite = loader.loadTestsFromNames(rest, module) if rest else loader.loadTestsFromModule(module)
        result = unittest.TextTestRunner(verbosity=2).run(suite)
        # A test with failing subtests counts once.
        failed = len({getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors})
        skipped = len(result.skipped)
        print("%d passed, %d failed, %d skipped" % (result.testsRun - failed - skipped, failed, skipped))
        return 0 if result.wasSuccessful() else 1
    finally:
        qmkit.stop_keeper(keeper)
        for dirpath, _, files in os.walk(WORK):
            for name in files:
                os.chmod(os.path.join(dirpath, name), 0o644)
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
