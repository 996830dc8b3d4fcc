"""Recordings as cameras and recorders write them, made with Debian's ffmpeg, and the
checks a converted MP4 has to pass (Debian's ffprobe/ffmpeg).

Small pictures and a few seconds each, so a whole test run makes them in seconds.
`Recordings(folder).path(name)` makes a recording on first use and caches it.
"""

import datetime
import json
import shutil
import os
import random
import re
import struct
import subprocess

PATTERN = "testsrc2=size=%s:rate=%s"
TONE = "sine=frequency=%d:sample_rate=%d"
X264 = ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast"]

# Start-code-like bytes in a vendor header: an MPEG-PS pack header, an MPEG video
# sequence header and a PES start. They send ffmpeg's format probe the wrong way.
VENDOR_MAGIC = bytes([0, 0, 1, 0xBA]) * 4 + bytes([0, 0, 1, 0xB3, 0x14, 0, 0xF0, 0x11]) + \
    bytes([0, 0, 1, 0xE0, 0, 0])


def ffmpeg(args, timeout=300):
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    if r.returncode != 0:
        raise RuntimeError("ffmpeg %s failed: %s" % (" ".join(args[-3:]), r.stdout.decode(errors="replace")))


def video_in(size="320x240", rate=25, seconds=3):
    return ["-f", "lavfi", "-t", str(seconds), "-i", PATTERN % (size, rate)]


def audio_in(freq=440, rate=48000, seconds=3):
    return ["-f", "lavfi", "-t", str(seconds), "-i", TONE % (freq, rate)]


def vendor_header(kind, size):
    """A made-up vendor header: magic, a version, start-code-like bytes, filler."""
    rnd = random.Random(size)
    head = b"KSMV" + bytes([kind, 0, 0, 0]) + VENDOR_MAGIC
    return (head + bytes(rnd.randrange(256) for _ in range(size - len(head) - 64))).ljust(size, b"\0")


def drop_ts_pid(src, dst, pid):
    """A copy of a transport stream without the packets of one PID: the stream stays
    declared in the programme table but carries no data."""
    with open(src, "rb") as f:
        data = f.read()
    with open(dst, "wb") as f:
        for i in range(0, len(data) - 187, 188):
            packet = data[i:i + 188]
            if ((packet[1] & 0x1F) << 8 | packet[2]) != pid:
                f.write(packet)


# --- the recordings ------------------------------------------------------------

def make_plain_ts(path):
    """H.264/AAC in MPEG-TS: the happy path, remuxed."""
    ffmpeg(video_in() + audio_in() + X264 + ["-g", "25", "-c:a", "aac", "-b:a", "64k",
                                             "-f", "mpegts", path])


def make_mic_off_ts(path):
    """Camera with its microphone off: the audio PID is declared, no audio packet follows."""
    full = path + ".full"
    make_plain_ts(full)
    drop_ts_pid(full, path, 0x101)
    os.remove(full)


def make_sub_first_avi(path):
    """Recorder writing its small sub stream before the main stream, PCM audio."""
    ffmpeg(video_in("352x288") + video_in("1280x720") + audio_in(rate=16000) +
           ["-map", "0:v", "-map", "1:v", "-map", "2:a"] + X264 +
           ["-g", "25", "-c:a", "pcm_s16le", "-f", "avi", path])


def make_two_programmes_ts(path):
    """Two programmes: sub stream + 16 kHz audio first, main stream + 48 kHz audio second."""
    ffmpeg(video_in("352x288") + audio_in(300, 16000) + video_in("1280x720") + audio_in(1000, 48000) +
           ["-map", "0:v", "-map", "1:a", "-map", "2:v", "-map", "3:a"] + X264 +
           ["-g", "25", "-c:a", "aac", "-b:a", "64k",
            "-program", "title=sub:st=0:st=1", "-program", "title=main:st=2:st=3", "-f", "mpegts", path])


def make_raw_h264(path):
    """Raw H.264 (15 fps, 60 frames) behind a vendor header."""
    raw = path + ".264"
    ffmpeg(video_in(rate=15, seconds=4) + X264 + ["-g", "15", "-f", "h264", raw])
    with open(path, "wb") as out, open(raw, "rb") as f:
        out.write(vendor_header(1, 1024) + f.read())
    os.remove(raw)


def make_raw_hevc(path):
    """Raw HEVC (20 fps, 60 frames, no B-frames, as cameras send it) behind a vendor header."""
    raw = path + ".265"
    ffmpeg(video_in(rate=20, seconds=3) + ["-pix_fmt", "yuv420p", "-c:v", "libx265", "-preset", "ultrafast",
                                           "-x265-params", "log-level=error:bframes=0", "-g", "20", "-f", "hevc", raw])
    with open(path, "wb") as out, open(raw, "rb") as f:
        out.write(vendor_header(2, 512) + f.read())
    os.remove(raw)


def make_framed_h264(path):
    """Vendor framing: each H.264 frame (15 fps, 60 frames) and a slice of 8 kHz mu-law
    audio in chunks of their own, each behind a small chunk header."""
    raw, pcm = path + ".264", path + ".ulaw"
    ffmpeg(video_in(rate=15, seconds=4) + X264 + ["-g", "15", "-x264-params", "aud=1", "-f", "h264", raw])
    ffmpeg(audio_in(rate=8000, seconds=4) + ["-ac", "1", "-c:a", "pcm_mulaw", "-f", "mulaw", pcm])
    with open(raw, "rb") as f:
        delimiter = b"\x00\x00\x00\x01\x09"   # every frame starts with one (aud=1)
        frames = [delimiter + part for part in f.read().split(delimiter) if part]
    with open(pcm, "rb") as f:
        audio = f.read()
    per = len(audio) // len(frames)
    with open(path, "wb") as out:
        out.write(vendor_header(3, 512))
        for i, frame in enumerate(frames):
            for kind, chunk in ((1, frame), (2, audio[i * per:(i + 1) * per])):
                out.write(b"KSMF" + struct.pack("<II", kind, len(chunk)) + chunk)
    os.remove(raw)
    os.remove(pcm)


def make_g711(path, codec, container):
    """H.264 with 8 kHz G.711 audio (A-law or mu-law), as IP cameras send it."""
    ffmpeg(video_in() + audio_in(rate=8000) + X264 + ["-g", "25", "-c:a", codec, "-ac", "1",
                                                      "-f", container, path])


def make_gap_ts(path):
    """Motion-triggered MPEG-2/MP2: 2 s, a 60 s gap in the timestamps, 2 s (100 frames)."""
    ffmpeg(video_in(seconds=4) + audio_in(seconds=4) +
           ["-vf", "setpts=PTS+gte(T\\,2)*60/TB", "-af", "asetpts=PTS+gte(T\\,2)*60/TB",
            "-fps_mode", "passthrough", "-c:v", "mpeg2video", "-q:v", "5", "-g", "10",
            "-c:a", "mp2", "-b:a", "128k", "-f", "mpegts", path])


def make_interlaced_ps(path):
    """Interlaced PAL MPEG-2 (top field first) + MP2 in a program stream, moving picture."""
    ffmpeg(video_in("720x576", 50) + audio_in() +
           ["-vf", "interlace=scan=tff", "-c:v", "mpeg2video", "-b:v", "4M", "-flags", "+ilme+ildct",
            "-top", "1", "-c:a", "mp2", "-b:a", "128k", "-f", "vob", path])


def make_cut_ts(path):
    """The happy-path TS cut off two thirds in, in the middle of a 188-byte packet."""
    full = path + ".full"
    make_plain_ts(full)
    with open(full, "rb") as f:
        data = f.read()
    end = len(data) * 2 // 3
    with open(path, "wb") as f:
        f.write(data[:end - end % 188 + 100])
    os.remove(full)


def make_long_ts(path, seconds=60, size="1280x720", bitrate="4M"):
    """A longer H.264/AAC TS (benchmarks)."""
    ffmpeg(video_in(size, 25, seconds) + audio_in(seconds=seconds) +
           ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-b:v", bitrate, "-g", "50",
            "-c:a", "aac", "-b:a", "128k", "-f", "mpegts", path], timeout=1800)


def make_long_mpeg2_ps(path, seconds=60, size="1280x720"):
    """MPEG-2/MP2 in a program stream (re-encode benchmark)."""
    ffmpeg(video_in(size, 25, seconds) + audio_in(seconds=seconds) +
           ["-c:v", "mpeg2video", "-b:v", "8M", "-c:a", "mp2", "-b:a", "192k", "-f", "vob", path],
           timeout=1800)


def make_damaged_ts(path, seconds=60, size="1280x720", every=20000, seed=7):
    """MPEG-2/MP2 TS with bytes overwritten every `every` bytes: converts, but ffmpeg
    warns thousands of times."""
    ffmpeg(video_in(size, 25, seconds) + audio_in(seconds=seconds) +
           ["-c:v", "mpeg2video", "-b:v", "8M", "-c:a", "mp2", "-b:a", "192k", "-f", "mpegts", path],
           timeout=1800)
    rnd = random.Random(seed)
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        for pos in range(every, len(data) - 16, every):
            data[pos:pos + 12] = bytes(rnd.randrange(256) for _ in range(12))
        f.seek(0)
        f.write(data)


def make_long_gop_cut(path, size, seconds, gop, start, end):
    """H.264/AAC TS from a camera with `gop` frames (25 fps) between keyframes, exported as the
    packets between fractions `start` and `end` of the file, as a cut by clock time does."""
    full = path + ".full"
    ffmpeg(video_in(size, 25, seconds) + audio_in(seconds=seconds) + X264 +
           ["-g", str(gop), "-keyint_min", str(gop), "-sc_threshold", "0", "-c:a", "aac", "-b:a", "64k",
            "-f", "mpegts", full])
    with open(full, "rb") as f:
        data = f.read()
    packets = len(data) // 188
    with open(path, "wb") as f:
        f.write(data[int(packets * start) * 188:int(packets * end) * 188])
    os.remove(full)


def make_cut_mp4(path, movflags, keep):
    """12 s of H.264/AAC in MP4 (index first, or fragmented) whose copy stopped part way."""
    full = path + ".full"
    ffmpeg(video_in(seconds=12) + audio_in(seconds=12) + X264 +
           ["-g", "25", "-c:a", "aac", "-b:a", "64k", "-movflags", movflags, "-f", "mp4", full])
    with open(full, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:int(len(data) * keep)])
    os.remove(full)


def make_unfinished_mp4(path, pattern="testsrc", size="640x360", seconds=12, keep=0.6, repeat_headers=False,
                        hevc=False, quicktime_sound=None, rotate=0, telemetry=False, write=None):
    """What a camera's MP4 writer leaves when the power goes: ftyp, media data whose size is
    still the placeholder 0, no index. H.264 with B-frames and AAC, as a camera interleaves
    them. The finished file stays beside it (`<name>.whole`): it tells what was written before
    the cut. write: another camera's writer of the finished file."""
    whole = path.replace(".part", "") + ".whole"
    if write:
        write(whole)
    else:
        write_camera_mp4(whole, pattern, size, seconds, repeat_headers, hevc, quicktime_sound, rotate, telemetry)
    with open(whole, "rb") as f:
        data = bytearray(f.read())
    at = 0
    while data[at + 4:at + 8] != b"mdat":
        at += int.from_bytes(data[at:at + 4], "big")
    size_of_mdat = int.from_bytes(data[at:at + 4], "big")
    data[at:at + 4] = bytes(4)
    # Just after a picture that is shown after the B-frames stored behind it: the cut keeps it
    # and loses them.
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pts,pos,size",
                        "-of", "json", whole], stdout=subprocess.PIPE, check=True, text=True)
    pictures = [(int(p["pos"]), int(p["size"]), int(p["pts"])) for p in json.loads(r.stdout)["packets"]]
    end = next(pos + size for i, (pos, size, pts) in enumerate(pictures[:-1])
               if pos > at + size_of_mdat * keep and pts > pictures[i + 1][2])
    with open(path, "wb") as f:
        f.write(data[:end + 10])


def make_damaged_unfinished_mp4(path):
    """A cut recording whose data was wiped in its middle (a card's bad blocks, a camera's
    filler): a fifth of its media data zeroed. The stretch's bounds go to `<name>.damage`."""
    make_unfinished_mp4(path, keep=0.9)
    with open(path, "r+b") as f:
        data = f.read()
        at = data.index(b"mdat") + 4
        begin, end = at + (len(data) - at) * 2 // 5, at + (len(data) - at) * 3 // 5
        f.seek(begin)
        f.write(bytes(end - begin))
    with open(path.replace(".part", "") + ".damage", "w") as f:
        f.write("%d %d" % (begin, end))


def video_packets(path):
    """(pos, size, pts, key) of each video packet, in the order stored."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pos,size,pts_time,flags",
                        "-of", "json", path], stdout=subprocess.PIPE, check=True, text=True)
    return [(int(p["pos"]), int(p["size"]), round(float(p["pts_time"]), 3), "K" in p["flags"])
            for p in json.loads(r.stdout)["packets"]]


def last_sound_shift(path, original):
    """How much later `path`'s last sound frames are stated than the same frames (found by
    their sizes) in `original`."""
    def packets(p):
        r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=pts_time,size",
                            "-of", "json", p], stdout=subprocess.PIPE, check=True, text=True)
        return [(float(x["pts_time"]), int(x["size"])) for x in json.loads(r.stdout)["packets"]]
    mine, theirs = packets(path), packets(original)
    sizes = [s for _, s in mine[-10:]]
    at = next(i for i in range(len(theirs)) if [s for _, s in theirs[i:i + 10]] == sizes)
    return mine[-10][0] - theirs[at][0]


def write_camera_mp4(path, pattern="testsrc2", size="640x360", seconds=6, repeat_headers=False, hevc=False,
                     quicktime_sound=None, rotate=0, telemetry=False):
    """One camera's settings: 25 frames a second, a keyframe a second, AAC stereo 48 kHz (H.264);
    50 frames a second and mono 44.1 kHz (HEVC); G.711 mu-law at 8 kHz, or quiet 16-bit PCM at
    16 kHz, in QuickTime (quicktime_sound="mulaw" or "pcm").
    All with B-frames. rotate: a phone's rotation in the track header; telemetry: no sound but
    a data track ("gpmd", in QuickTime) between the pictures, as an action camera writes."""
    rate, sound = ("50", ["-c:a", "aac", "-b:a", "96k", "-ar", "44100", "-ac", "1"]) if hevc else \
        ("25", ["-c:a", "pcm_mulaw", "-ar", "8000", "-ac", "1"]) if quicktime_sound == "mulaw" else \
        ("25", ["-af", "volume=0.003", "-c:a", "pcm_s16le", "-ar", "16000", "-ac", "1"]) if quicktime_sound else \
        ("25", ["-c:a", "aac", "-b:a", "96k", "-ac", "2"])
    video = (["-c:v", "libx265", "-x265-params", "log-level=error" + (":repeat-headers=1" if repeat_headers else ""),
              "-tag:v", "hvc1", "-g", rate] if hevc else
             ["-c:v", "libx264", "-preset", "veryfast", "-g", rate] +
             (["-x264-params", "repeat-headers=1"] if repeat_headers else []))
    plain = path + ".plain" if rotate else path
    if telemetry:
        data = path + ".gpmf"
        with open(data, "wb") as f:
            f.write(random.Random(5).randbytes(200000))
        ffmpeg(["-f", "lavfi", "-t", str(seconds), "-i", "%s=size=%s:rate=%s" % (pattern, size, rate),
                "-f", "data", "-i", data, "-map", "0:v", "-map", "1:d", "-pix_fmt", "yuv420p"] + video +
               ["-c:d", "copy", "-tag:d", "gpmd", "-f", "mov", plain])
        os.remove(data)
    else:
        ffmpeg(["-f", "lavfi", "-t", str(seconds), "-i", "%s=size=%s:rate=%s" % (pattern, size, rate)] +
               audio_in(freq=330, seconds=seconds) + ["-pix_fmt", "yuv420p"] + video +
               sound + ["-f", "mov" if quicktime_sound else "mp4", plain])
    if rotate:
        ffmpeg(["-i", plain, "-c", "copy", "-metadata:s:v:0", "rotate=%d" % rotate,
                "-f", "mov" if quicktime_sound else "mp4", path])
        os.remove(plain)


def write_timecode_camera_mov(path):
    """A camera that starts its recording's timecode at 10:00:00:00 (a timecode track)."""
    ffmpeg(video_in("640x360", 25, 8) + audio_in(freq=330, seconds=8) +
           ["-timecode", "10:00:00:00", "-write_tmcd", "1", "-pix_fmt", "yuv420p", "-c:v", "libx264",
            "-preset", "veryfast", "-g", "25", "-c:a", "aac", "-f", "mov", path])


PLACE = "+48.8584+002.2945+035.000/"


def make_everything_camera_mov(path, video=("-c:v", "libx264", "-preset", "ultrafast")):
    """What an action camera or a phone records beside its picture and sound: a second sound
    track, telemetry (a "gpmd" data track, eight samples a second), a timecode, a rotation,
    and QuickTime keys for the place, make, model, software and the local date. video: how the
    picture is encoded."""
    data = path + ".gpmf"
    with open(data, "wb") as f:
        f.write(random.Random(9).randbytes(40 * 1000 + 321))
    ffmpeg(video_in("320x240", 25, 5) + audio_in(330, seconds=5) + audio_in(550, seconds=5) + ["-f", "data", "-i", data] +
           ["-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:d", "-pix_fmt", "yuv420p"] + list(video) +
           ["-c:a", "aac", "-c:d", "copy", "-tag:d", "gpmd", "-bsf:d", "setts=ts=N/TB/8:duration=1/TB/8",
            "-timecode", "10:20:30:00", "-write_tmcd", "1",
            "-metadata", "com.apple.quicktime.location.ISO6709=" + PLACE,
            "-metadata", "com.apple.quicktime.make=Apple", "-metadata", "com.apple.quicktime.model=iPhone X",
            "-metadata", "com.apple.quicktime.software=16.1",
            "-metadata", "com.apple.quicktime.creationdate=2026-05-01T10:11:12+0200",
            "-movflags", "use_metadata_tags", "-f", "mov", path + ".plain"])
    # The rotation goes into the track header's matrix on a copy only.
    ffmpeg(["-i", path + ".plain", "-map", "0:v", "-map", "0:a", "-map", "0:d:0", "-c", "copy", "-tag:d", "gpmd",
            "-metadata:s:v:0", "rotate=90", "-write_tmcd", "1", "-movflags", "use_metadata_tags", "-f", "mov", path])
    os.remove(data)
    os.remove(path + ".plain")


def write_action_camera_mp4(path):
    """An action camera: H.264 and AAC with its telemetry between them, eight GPMF samples a
    second (a "DEVC" record of 1 KB each: a device id, then a stream of readings)."""
    data = path + ".gpmf"
    rng = random.Random(4)
    with open(data, "wb") as f:
        for _ in range(6 * 8):
            f.write(b"DEVC\x00\x01\x03\xf8" + b"DVIDL\x04\x00\x01\x00\x00\x00\x01" + rng.randbytes(1004))
    ffmpeg(video_in("640x360", 25, 6) + audio_in(330, seconds=6) + ["-f", "data", "-i", data] +
           ["-map", "0:v", "-map", "1:a", "-map", "2:d", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset",
            "veryfast", "-g", "25", "-c:a", "aac", "-c:d", "copy", "-tag:d", "gpmd", "-bsf:d",
            "setts=ts=N/TB/8:duration=1/TB/8", "-f", "mov", path])
    os.remove(data)


def write_held_camera_mp4(path, pictures=100):
    """A thermal camera's app: its first picture held 2 s, then one every 0.113 s (B-frames);
    its sound starts 0.188 s after the first picture (an empty edit), the language and handler
    names its own."""
    ffmpeg(["-f", "lavfi", "-t", str(pictures / 25), "-i", PATTERN % ("320x240", 25), "-itsoffset", "0.188"] +
           audio_in(freq=330, seconds=2 + (pictures - 1) * 0.113 - 0.1) +
           ["-vf", "settb=1/1000,setpts='if(eq(N,0),0,2+(N-1)*0.113)/TB'", "-fps_mode", "vfr",
            "-enc_time_base:v", "1/1000", "-video_track_timescale", "1000", "-pix_fmt", "yuv420p",
            "-c:v", "libx264", "-preset", "veryfast", "-g", "25", "-c:a", "aac", "-b:a", "96k",
            "-metadata:s:a", "language=swe", "-metadata:s:v", "handler_name=Thermal Video", "-f", "mp4", path])


def write_chaptered_camera(path, seconds=12, size="320x240", created="2026-05-01T10:00:00Z", timecode="10:00:00:00"):
    """An action camera's recording before it is split: H.264 with B-frames, AAC, GPMF-like
    telemetry eight samples a second and a timecode track, its recording time set."""
    data = path + ".gpmf"
    rng = random.Random(seconds)
    with open(data, "wb") as f:
        for _ in range(seconds * 8):
            f.write(b"DEVC\x00\x01\x03\xf8" + b"DVIDL\x04\x00\x01\x00\x00\x00\x01" + rng.randbytes(1004))
    ffmpeg(video_in(size, 25, seconds) + audio_in(330, seconds=seconds) + ["-f", "data", "-i", data] +
           ["-map", "0:v", "-map", "1:a", "-map", "2:d", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset",
            "veryfast", "-g", "25", "-c:a", "aac", "-c:d", "copy", "-tag:d", "gpmd", "-bsf:d",
            "setts=ts=N/TB/8:duration=1/TB/8", "-timecode", timecode, "-write_tmcd", "1",
            "-metadata", "creation_time=" + created, "-f", "mov", path])
    os.remove(data)


def split_into_chapters(whole, paths, seconds_each, created=(2026, 5, 1, 10, 0, 0), timecode_hour=10, kind="mov"):
    """`whole` cut at keyframes into chapter files as a camera writes them at its size limit:
    the same streams running on, each chapter with its own recording time and a timecode
    continuing the last one's. paths: the chapter files, in order; kind: "mov" or "mp4"."""
    work = whole + ".segments"
    os.makedirs(work, exist_ok=True)
    ffmpeg(["-i", whole, "-map", "0:v", "-map", "0:a", "-map", "0:d:0", "-c", "copy", "-tag:d", "gpmd",
            "-f", "segment", "-segment_time", str(seconds_each), "-segment_format", "mov", "-reset_timestamps", "1",
            os.path.join(work, "%d.mov")])
    start = datetime.datetime(*created, tzinfo=datetime.timezone.utc)
    for i, path in enumerate(paths):
        at = i * seconds_each
        ffmpeg(["-i", os.path.join(work, "%d.mov" % i), "-map", "0:v", "-map", "0:a", "-map", "0:d:0", "-c", "copy",
                "-tag:d", "gpmd", "-timecode", "%02d:%02d:%02d:00" % (timecode_hour, at // 60, at % 60),
                "-write_tmcd", "1", "-metadata",
                "creation_time=" + (start + datetime.timedelta(seconds=at)).strftime("%Y-%m-%dT%H:%M:%SZ"),
                "-f", kind, path])
    shutil.rmtree(work)


def frame_hashes(path, stream):
    """[(time, md5)] of every decoded frame of the first `stream` ("v" or "a") in order."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:%s:0" % stream, "-f", "framemd5",
                        "-"], stdout=subprocess.PIPE, check=True, text=True, timeout=300)
    rows = [l.split(",") for l in r.stdout.splitlines() if l and not l.startswith("#")]
    tb = next(l for l in r.stdout.splitlines() if l.startswith("#tb 0:")).split(":")[1].strip().split("/")
    return [(int(row[2]) * int(tb[0]) / int(tb[1]), row[5].strip()) for row in rows]


def written_before_cut(whole, cut):
    """Video packets, sound packets and sound seconds of `whole` that lie wholly within its
    first `cut` bytes."""
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=stream_index,pos,size,duration_time",
                        "-of", "json", whole], stdout=subprocess.PIPE, check=True, text=True)
    counts, seconds = {}, 0.0
    for p in json.loads(r.stdout)["packets"]:
        if int(p["pos"]) + int(p["size"]) <= cut:
            counts[p["stream_index"]] = counts.get(p["stream_index"], 0) + 1
            seconds += float(p.get("duration_time", 0)) if p["stream_index"] == 1 else 0
    return counts.get(0, 0), counts.get(1, 0), seconds


def frame_hashes(path, kind):
    """(time, md5) of each decoded video or sound frame, as a player meets them."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:" + kind[0],
                        "-f", "framemd5", "-"], stdout=subprocess.PIPE, check=True, text=True)
    hashes = [line.split(",")[5].strip() for line in r.stdout.splitlines() if not line.startswith("#")]
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", kind[0], "-show_entries",
                        "frame=best_effort_timestamp_time", "-of", "csv=p=0", path],
                       stdout=subprocess.PIPE, check=True, text=True)
    return list(zip((round(float(t.strip(",")), 3) for t in r.stdout.split()), hashes))


def make_bframes_avi(path):
    """H.264 with B-frames in AVI (decode order, no presentation times), PCM audio."""
    ffmpeg(video_in(seconds=6) + audio_in(seconds=6) +
           ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-g", "50",
            "-c:a", "pcm_s16le", "-f", "avi", path])


def make_late_bframes_avi(path):
    """H.264 High with B-pyramid in AVI whose first 125 frames (noise: x264 picks no
    B-frames for it) come in order; the B-frames follow in the last 3 s."""
    ffmpeg(["-f", "lavfi", "-i", "nullsrc=s=320x240:r=25:d=5,geq=lum='random(1)*255':cb=128:cr=128"] +
           video_in(seconds=3) + audio_in(seconds=8) +
           ["-filter_complex", "[0][1]concat=n=2:v=1[v]", "-map", "[v]", "-map", "2:a", "-pix_fmt", "yuv420p",
            "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-bf", "3",
            "-x264-params", "b-pyramid=normal", "-c:a", "pcm_s16le", "-f", "avi", path])


def make_odd_size_avi(path):
    """Motion JPEG 321x241 (odd both ways), square pixels: needs a re-encode."""
    ffmpeg(["-f", "lavfi", "-t", "3", "-i", "testsrc=size=321x241:rate=25", "-c:v", "mjpeg", "-q:v", "5",
            "-f", "avi", path])


def make_timecode_mov(path):
    """H.264/AAC in QuickTime with a timecode track, as camcorders write it, and the
    recording's own creation time."""
    ffmpeg(video_in() + audio_in() + X264 + ["-c:a", "aac", "-timecode", "01:00:00:00",
                                             "-metadata", "creation_time=2024-05-01T10:20:30Z", "-f", "mov", path])


def make_short_clip_mp4(path):
    """A phone's 0.2 s clip: five frames and their sound."""
    ffmpeg(video_in(seconds=0.2) + audio_in(seconds=0.2) + X264 + ["-c:a", "aac", "-f", "mp4", path])


def make_motion_photo_mp4(path):
    """A phone's motion photo: a 2 s clip and a one-frame still of twice its size."""
    still = path + ".still.mp4"
    ffmpeg(video_in("640x480", seconds=2) + audio_in(seconds=2) + video_in("1280x960", seconds=0.04) +
           ["-map", "0:v", "-map", "1:a", "-map", "2:v"] + X264 + ["-c:a", "aac", "-f", "mp4", still])
    os.replace(still, path)


def make_packed_amr_3gp(path, seconds=4.5, per_sample=5):
    """A 2005 phone's 3GP: MPEG-4 video and AMR-NB sound packed five 20 ms frames to a
    sample, as phones wrote it (ffmpeg 5.1 decodes only the first frame of each)."""
    rnd = random.Random(5)
    frames = int(seconds / 0.02) // per_sample * per_sample
    amr = path + ".amr"
    with open(amr, "wb") as f:   # 12.2 kbit/s frames: a header byte and 31 bytes of sound
        f.write(b"#!AMR\n" + b"".join(b"\x3c" + bytes(rnd.randrange(256) for _ in range(31)) for _ in range(frames)))
    single = path + ".single.3gp"
    ffmpeg(video_in("176x144", 15, seconds) + ["-i", amr, "-map", "0:v", "-map", "1:a", "-c:v", "mpeg4",
                                                "-c:a", "copy", "-f", "3gp", single])
    from hostile import box, parse_boxes, build_boxes
    with open(single, "rb") as f:
        top = parse_boxes(f.read())
    moov = box(top, "moov")[1]
    trak = next(t for t in moov if t[0] == b"trak" and box(t[1], "mdia", "hdlr")[1][8:12] == b"soun")
    stbl = box(trak[1], "mdia", "minf", "stbl")[1]
    # Where each frame lies, from the writer's own chunk tables.
    stsz, stsc, stco = (box(stbl, k)[1] for k in ("stsz", "stsc", "stco"))
    fixed, count = struct.unpack_from(">II", stsz, 4)
    sizes = [fixed] * count if fixed else list(struct.unpack_from(">%dI" % count, stsz, 12))
    runs = [struct.unpack_from(">III", stsc, 8 + 12 * i) for i in range(struct.unpack_from(">I", stsc, 4)[0])]
    chunks = struct.unpack_from(">%dI" % struct.unpack_from(">I", stco, 4)[0], stco, 8)
    offsets = []
    for c, at in enumerate(chunks, 1):
        per = [r[1] for r in runs if r[0] <= c][-1]
        for _ in range(per):
            if len(offsets) < count:
                offsets.append(at)
                at += sizes[len(offsets) - 1]
    # The sound moves to a media box of its own at the end, five frames to a sample.
    with open(single, "rb") as f:
        data = f.read()
    groups = [b"".join(data[offsets[j]:offsets[j] + sizes[j]] for j in range(i, i + per_sample))
              for i in range(0, count, per_sample)]
    tables = {b"stsz": struct.pack(">III", 0, 0, len(groups)) + struct.pack(">%dI" % len(groups), *map(len, groups)),
              b"stsc": struct.pack(">IIIII", 0, 1, 1, 1, 1),
              b"stts": struct.pack(">IIII", 0, 1, len(groups), 160 * per_sample)}

    def chunk_table(base):
        at, starts = base, []
        for g in groups:
            starts.append(at)
            at += len(g)
        return struct.pack(">II", 0, len(groups)) + struct.pack(">%dI" % len(groups), *starts)
    tables[b"stco"] = chunk_table(0)
    for b in stbl:
        if b[0] in tables:
            b[1] = tables[b[0]]
    base = len(build_boxes(top)) + 8
    box(stbl, "stco")[1] = chunk_table(base)
    with open(path, "wb") as f:
        f.write(build_boxes(top) + struct.pack(">I4s", 8 + sum(map(len, groups)), b"mdat"))
        f.write(b"".join(groups))
    os.remove(single)
    os.remove(amr)


def make_av1_mkv(path):
    """AV1 in Matroska, as newer cameras and screen recorders write it (no audio)."""
    ffmpeg(video_in(seconds=2) + ["-c:v", "libaom-av1", "-cpu-used", "8", "-crf", "40", "-f", "matroska", path])


MAKERS = {
    "av1.mkv": make_av1_mkv,
    # 20 s whose first keyframe comes 8 s in (ffmpeg's default look finds no picture).
    "late keyframe.ts": lambda p: make_long_gop_cut(p, "640x360", 24, 300, 1 / 6, 1),
    # 12 s between two keyframes 40 s apart: video data but no picture to start from.
    "no keyframe.ts": lambda p: make_long_gop_cut(p, "320x240", 40, 1000, 0.1, 0.4),
    "cut faststart.mp4": lambda p: make_cut_mp4(p, "+faststart", 0.5),
    "cut fragmented.mp4": lambda p: make_cut_mp4(p, "+frag_keyframe+empty_moov+default_base_moof", 0.5),
    "bframes.avi": make_bframes_avi,
    "late bframes.avi": make_late_bframes_avi,
    "odd size.avi": make_odd_size_avi,
    "timecode.mov": make_timecode_mov,
    "plain.ts": make_plain_ts,
    "mic off.ts": make_mic_off_ts,
    "sub first.avi": make_sub_first_avi,
    "two programmes.ts": make_two_programmes_ts,
    "raw h264.ksm": make_raw_h264,
    "raw hevc.ksm": make_raw_hevc,
    "framed h264.ksm": make_framed_h264,
    "alaw.avi": lambda p: make_g711(p, "pcm_alaw", "avi"),
    "mulaw.mkv": lambda p: make_g711(p, "pcm_mulaw", "matroska"),
    "gap.ts": make_gap_ts,
    "interlaced.mpg": make_interlaced_ps,
    "cut.ts": make_cut_ts,
    "short clip.mp4": make_short_clip_mp4,
    "motion photo.mp4": make_motion_photo_mp4,
    "packed amr.3gp": make_packed_amr_3gp,
    "long mpeg2.mpg": make_long_mpeg2_ps,
    "camera finished.mp4": lambda p: write_camera_mp4(p),
    "other camera.mp4": lambda p: write_camera_mp4(p, size="320x240"),
    "camera cut.mp4": make_unfinished_mp4,
    "camera cut repeating headers.mp4": lambda p: make_unfinished_mp4(p, repeat_headers=True),
    "damaged camera cut.mp4": make_damaged_unfinished_mp4,
    "hevc camera finished.mp4": lambda p: write_camera_mp4(p, hevc=True),
    "phone finished.mp4": lambda p: write_camera_mp4(p, rotate=90),
    "held camera finished.mp4": write_held_camera_mp4,
    "held camera cut.mp4": lambda p: make_unfinished_mp4(p, write=write_held_camera_mp4),
    "timecode camera finished.mov": write_timecode_camera_mov,
    "action camera finished.mov": write_action_camera_mp4,
    "action camera cut.mov": lambda p: make_unfinished_mp4(p, write=write_action_camera_mp4),
    "everything camera.mov": make_everything_camera_mov,
    "everything camera mpeg4.mov": lambda p: make_everything_camera_mov(p, ("-c:v", "mpeg4", "-q:v", "5")),
    "timecode camera cut.mov": lambda p: make_unfinished_mp4(p, write=write_timecode_camera_mov),
    "phone cut.mp4": lambda p: make_unfinished_mp4(p, rotate=90),
    "telemetry camera finished.mov": lambda p: write_camera_mp4(p, telemetry=True),
    "telemetry camera cut.mov": lambda p: make_unfinished_mp4(p, telemetry=True),
    "hevc camera cut.mp4": lambda p: make_unfinished_mp4(p, seconds=10, hevc=True),
    "hevc camera cut repeating headers.mp4": lambda p: make_unfinished_mp4(p, seconds=10, hevc=True,
                                                                           repeat_headers=True),
    "mulaw camera finished.mov": lambda p: write_camera_mp4(p, quicktime_sound="mulaw"),
    "mulaw camera cut.mov": lambda p: make_unfinished_mp4(p, quicktime_sound="mulaw"),
    "quiet pcm camera finished.mov": lambda p: write_camera_mp4(p, quicktime_sound="pcm"),
    "quiet pcm camera cut.mov": lambda p: make_unfinished_mp4(p, quicktime_sound="pcm"),
}


class Recordings:
    """Each recording made once per run, in `folder`, named `<name>.ksm`-style."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)

    def path(self, name):
        path = os.path.join(self.folder, name.rsplit(".", 1)[0] + ".ksm")
        if not os.path.exists(path):
            MAKERS[name](path + ".part")
            os.rename(path + ".part", path)
        return path


# --- checks on a result ----------------------------------------------------------

def probe(path, count=True):
    """{"duration", "streams": [{type, codec, tag, width, height, rate, channels,
    packets, field_order}]} as Debian's ffprobe sees the file."""
    args = ["ffprobe", "-v", "error", "-print_format", "json", "-show_format", "-show_streams"]
    if count:
        args.append("-count_packets")
    r = subprocess.run(args + [path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    if r.returncode != 0:
        raise AssertionError("ffprobe cannot read %s: %s" % (path, r.stderr.decode(errors="replace")))
    info = json.loads(r.stdout)
    streams = [{"type": s.get("codec_type"), "codec": s.get("codec_name"),
                "tag": s.get("codec_tag_string"), "width": s.get("width"), "height": s.get("height"),
                "rate": int(s["sample_rate"]) if "sample_rate" in s else None,
                "channels": s.get("channels"), "packets": int(s.get("nb_read_packets", 0) or 0),
                "field_order": s.get("field_order")}
               for s in info.get("streams", [])]
    return {"format": info["format"].get("format_name"),
            "duration": float(info["format"].get("duration", "nan")), "streams": streams}


def top_boxes(path):
    """The MP4's top-level box types, in file order."""
    types = []
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        pos = 0
        while pos + 8 <= size:
            f.seek(pos)
            head = f.read(16)
            n, kind = struct.unpack(">I4s", head[:8])
            if n == 1:
                n = struct.unpack(">Q", head[8:16])[0]
            types.append(kind.decode("latin-1"))
            if n < 8:
                break
            pos += n
    return types


def creation_time(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format_tags=creation_time", "-of",
                        "default=nw=1:nk=1", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return r.stdout.decode().strip()


def picture_times(path):
    """Each picture's presentation time as the file states it, in order (a decoder's best-effort
    times fall back to the decode times when these are wrong)."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pts_time",
                        "-of", "csv=p=0", path], stdout=subprocess.PIPE, check=True, text=True)
    return sorted(float(t.strip(",")) for t in r.stdout.split())


def stream_tags(path):
    """Each stream's tags (language, handler name), in order."""
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream_tags", "-of", "json", path],
                       stdout=subprocess.PIPE, check=True, text=True)
    return [st.get("tags", {}) for st in json.loads(r.stdout)["streams"]]


def data_md5(path):
    """The first data stream's samples: each one's size and bytes (md5)."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:d:0", "-f", "framemd5", "-"],
                       stdout=subprocess.PIPE, check=True, text=True, timeout=120)
    return [tuple(f.strip() for f in l.split(",")[4:]) for l in r.stdout.splitlines() if not l.startswith("#")]


def data_times(path):
    """When each sample of the first data stream is stated to start."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "d:0", "-show_entries", "packet=pts_time",
                        "-of", "csv=p=0", path], stdout=subprocess.PIPE, check=True, text=True, timeout=120)
    return [round(float(t), 3) for t in r.stdout.split()]


def format_tags(path):
    """The file's own tags (not its streams')."""
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format_tags", "-of", "json", path],
                       stdout=subprocess.PIPE, check=True, text=True, timeout=60)
    return json.loads(r.stdout)["format"].get("tags", {})


def rotation(path):
    """The video's rotation in degrees as its track header's matrix states it (0 for none)."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                        "stream_side_data=rotation", "-of", "default=nw=1:nk=1", path],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return int(float(r.stdout.decode().split()[0])) if r.stdout.strip() else 0


def streams_of(info, kind):
    return [s for s in info["streams"] if s["type"] == kind]


def decode_errors(path, stop_at_first=True):
    """What a full decode reports (up to the first error, or all); "" for a clean file."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error"] + (["-xerror"] if stop_at_first else []) +
                       ["-i", path, "-f", "null", "-"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    text = r.stdout.decode(errors="replace").strip()
    if r.returncode != 0 and not text:
        text = "exit code %d" % r.returncode
    return text


def sound_seconds(path):
    """How long the first audio stream plays, decoded."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-ac", "1", "-ar", "8000",
                        "-f", "s16le", "-"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=600)
    return len(r.stdout) / 16000.0


def decode_error_count(path):
    """Error lines of a full decode that goes on past errors."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    return len([l for l in r.stdout.splitlines() if l.strip()])


def video_md5(path, fmt=None):
    """MD5 of every decoded frame of the first video stream: equal when it was copied."""
    args = ["ffmpeg", "-nostdin", "-v", "error"] + (["-f", fmt] if fmt else []) + \
        ["-i", path, "-map", "0:v:0", "-f", "md5", "-"]
    r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    return r.stdout.decode().strip()


def frame_times(path):
    """Presentation times (s) of the first video stream's frames, in order."""
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                        "-of", "csv=p=0", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return sorted(float(t) for t in r.stdout.decode().split() if t.strip(",") not in ("", "N/A"))


def interlace_counts(path):
    """(interlaced, progressive) frames by ffmpeg's idet filter (combing in the picture)."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-i", path, "-an", "-vf", "idet",
                        "-f", "null", "-"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    m = re.search(rb"Multi frame detection: TFF:\s*(\d+) BFF:\s*(\d+) Progressive:\s*(\d+)", r.stdout)
    if not m:
        raise AssertionError("idet gave no verdict for %s" % path)
    return int(m.group(1)) + int(m.group(2)), int(m.group(3))
