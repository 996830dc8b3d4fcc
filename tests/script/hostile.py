"""Files a stranger could hand our users as a "recording": playlists and concat scripts that
name other files on the disk, pictures and indexes that declare far more than the file holds,
and MP4s whose edit list replays one picture for hours. Made at run time with Debian's
ffmpeg and a little box and bit surgery, each small and made in seconds.
"""

import os
import struct
import subprocess

from recordings import X264, ffmpeg

MARKER = "KSM-VICTIM-5A1E"
VICTIM_RGB = (0xC8, 0x1E, 0x5A)   # no camera scene is one flat colour like this
NOISE = ["-f", "lavfi", "-i", "nullsrc=s=640x480,geq=random(1)*255:128:128"]


# --- the other recording on the disk -------------------------------------------

def make_victim(path, marker_text=MARKER):
    """2 s of H.264/AAC in MPEG-TS: one flat, unusual colour, a 1234 Hz tone, the marker as title."""
    ffmpeg(["-f", "lavfi", "-t", "2", "-i", "color=c=0x%02X%02X%02X:size=320x240:rate=25" % VICTIM_RGB,
            "-f", "lavfi", "-t", "2", "-i", "sine=frequency=1234:sample_rate=48000"] + X264 +
           ["-c:a", "aac", "-b:a", "64k", "-metadata", "title=" + marker_text,
            "-f", "mpegts", path])


def looks_like_victim(mp4_path, marker_text=MARKER):
    """True when the file carries the victim's marker or any of its first 500 pictures is
    the victim's colour."""
    with open(mp4_path, "rb") as f:
        if marker_text.encode() in f.read():
            return True
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", mp4_path, "-map", "0:v:0?", "-frames:v", "500",
                        "-vf", "scale=4:4", "-pix_fmt", "rgb24", "-f", "rawvideo", "-"],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=300)
    pixels = r.stdout
    for at in range(0, len(pixels) - 47, 48):
        mean = [sum(pixels[at + c:at + 48:3]) / 16 for c in range(3)]
        if all(abs(m - v) < 16 for m, v in zip(mean, VICTIM_RGB)):
            return True
    return False


# --- text that names other files -------------------------------------------------

def hls_playlist(segment):
    return ("#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-TARGETDURATION:2\r\n#EXTINF:2.0,\r\n%s\r\n"
            "#EXT-X-ENDLIST\r\n" % segment).encode()


def make_hls_playlist(path, segment):
    """An HLS media playlist of one segment, named verbatim (relative, absolute, URL, UNC)."""
    with open(path, "wb") as f:
        f.write(hls_playlist(segment))


def syncsafe(n):
    return bytes((n >> s) & 0x7F for s in (21, 14, 7, 0))


def make_id3_wrapped_playlist(path, segment):
    """The same playlist behind an ID3v2.4 tag (one TIT2 frame): it starts like an MP3."""
    title = b"\x03" + b"Track 01"   # UTF-8
    frame = b"TIT2" + syncsafe(len(title)) + b"\0\0" + title
    with open(path, "wb") as f:
        f.write(b"ID3\x04\0\0" + syncsafe(len(frame)) + frame + hls_playlist(segment))


def make_concat_script(path, name):
    """An ffconcat script naming one file in its folder."""
    with open(path, "w", newline="\n") as f:
        f.write("ffconcat version 1.0\nfile '%s'\n" % name)


def make_text_file(path, text):
    """The neighbour a concat script names."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


# --- H.264 whose parameter set declares 16000x12000 -------------------------------

def ue(bits, pos):
    """An exp-Golomb value in a string of '0'/'1' and where it ends."""
    zeros = bits.index("1", pos) - pos
    return int(bits[pos + zeros:pos + 2 * zeros + 1], 2) - 1, pos + 2 * zeros + 1


def ue_bits(value):
    b = bin(value + 1)[2:]
    return "0" * (len(b) - 1) + b


def add_emulation_prevention(rbsp):
    out, zeros = bytearray(), 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def resize_sps(nal, width_mbs, height_mbs):
    """An x264 SPS NAL (progressive, no scaling lists) with another picture size, uncropped."""
    rbsp = nal[1:].replace(b"\0\0\3", b"\0\0")
    bits = "".join("{:08b}".format(b) for b in rbsp)
    _, pos = ue(bits, 24)                                    # seq_parameter_set_id
    if rbsp[0] in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
        chroma, pos = ue(bits, pos)
        pos += chroma == 3
        _, pos = ue(bits, pos)
        _, pos = ue(bits, pos)                                # bit depths
        assert bits[pos + 1] == "0", "scaling lists"
        pos += 2
    _, pos = ue(bits, pos)                                    # log2_max_frame_num_minus4
    poc_type, pos = ue(bits, pos)
    assert poc_type != 1, "poc type 1"
    if poc_type == 0:
        _, pos = ue(bits, pos)
    _, pos = ue(bits, pos)                                    # max_num_ref_frames
    start = pos + 1                                           # past gaps_in_frame_num_allowed
    _, pos = ue(bits, start)
    _, pos = ue(bits, pos)
    assert bits[pos] == "1", "interlaced"
    head = bits[:start] + ue_bits(width_mbs - 1) + ue_bits(height_mbs - 1) + bits[pos:pos + 2] + "0"
    cropped = bits[pos + 2] == "1"
    pos += 3
    for _ in range(4 * cropped):                              # the old frame cropping
        _, pos = ue(bits, pos)
    out = head + bits[pos:].rstrip("0")                       # VUI and the stop bit
    out += "0" * (-len(out) % 8)
    return nal[:1] + add_emulation_prevention(bytes(int(out[i:i + 8], 2) for i in range(0, len(out), 8)))


def make_huge_picture_h264(path):
    """Raw H.264: five 64x48 pictures behind a parameter set that declares 16000x12000."""
    raw = path + ".264"
    ffmpeg(["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "5"] + X264 + ["-f", "h264", raw])
    with open(raw, "rb") as f:
        data = f.read()
    os.remove(raw)
    at = data.index(b"\0\0\1\x67") + 3
    sps = data[at:data.index(b"\0\0\1", at)].rstrip(b"\0")
    with open(path, "wb") as f:
        f.write(data.replace(sps, resize_sps(sps, 16000 // 16, 12000 // 16)))


# --- MP4 box surgery ---------------------------------------------------------------

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"edts", b"dinf"}


def parse_boxes(data):
    """[[type, body]]: a container's body is its list of boxes, any other body its bytes."""
    boxes, pos = [], 0
    while pos + 8 <= len(data):
        size, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + size]
        boxes.append([kind, parse_boxes(body) if kind in CONTAINERS else body])
        pos += size
    return boxes


def build_boxes(boxes):
    out = b""
    for kind, body in boxes:
        body = build_boxes(body) if isinstance(body, list) else body
        out += struct.pack(">I4s", 8 + len(body), kind) + body
    return out


def box(boxes, *path):
    for kind in path:
        found = next(b for b in boxes if b[0] == kind.encode())
        boxes = found[1]
    return found


def patch(b, v0_at, v1_at, value, wide=True):
    """Writes a field of a full box; `wide` ones are 64-bit in version 1."""
    at, fmt = (v1_at, ">Q" if wide else ">I") if b[1][0] == 1 else (v0_at, ">I")
    b[1] = b[1][:at] + struct.pack(fmt, value) + b[1][at + struct.calcsize(fmt):]


def timescale(b):   # mvhd, mdhd
    return struct.unpack_from(">I", b[1], 20 if b[1][0] == 1 else 12)[0]


def one_frame_mp4(path, source, codec):
    """One picture in an MP4 (index after the data, so the index can grow freely):
    the top-level boxes, the picture's offset and size."""
    ffmpeg(source + ["-frames:v", "1"] + codec + ["-f", "mp4", path])
    with open(path, "rb") as f:
        top = parse_boxes(f.read())
    stbl = box(top, "moov", "trak", "mdia", "minf", "stbl")[1]
    offset = struct.unpack_from(">I", box(stbl, "stco")[1], 8)[0]
    size, _, first = struct.unpack_from(">III", box(stbl, "stsz")[1] + b"\0" * 4, 4)
    return top, stbl, offset, size or first


def write_boxes(path, top):
    with open(path, "wb") as f:
        f.write(build_boxes(top))


def make_many_tracks_mp4(path, tracks=400):
    """`tracks` 3840x2160 H.264 tracks sharing one picture's bytes."""
    top, _, _, _ = one_frame_mp4(path, ["-f", "lavfi", "-i", "color=c=0x2050A0:size=3840x2160"], X264)
    moov = box(top, "moov")
    trak = build_boxes([box(moov[1], "trak")])
    copies = []
    for track_id in range(1, tracks + 1):
        copy = parse_boxes(trak)[0]
        patch(box(copy[1], "tkhd"), 12, 20, track_id, wide=False)
        copies.append(copy)
    at = moov[1].index(box(moov[1], "trak"))
    moov[1][at:at + 1] = copies
    mvhd = box(moov[1], "mvhd")
    mvhd[1] = mvhd[1][:-4] + struct.pack(">I", tracks + 1)   # next_track_ID
    write_boxes(path, top)


def make_huge_index_mp4(path, samples=75_000_000):
    """A 64x48 one-picture MP4 whose index declares `samples` pictures of one constant size,
    all in one chunk: a few hundred bytes of index, a sample table of gigabytes when read."""
    top, stbl, _, size = one_frame_mp4(path, ["-f", "lavfi", "-i", "testsrc2=size=64x48"], X264)
    box(stbl, "stts")[1] = struct.pack(">IIII", 0, 1, samples, 1)
    box(stbl, "stsc")[1] = struct.pack(">IIIII", 0, 1, 1, samples, 1)
    box(stbl, "stsz")[1] = struct.pack(">III", 0, size, samples)
    write_boxes(path, top)


def make_edit_list_bomb(path, codec="h264", samples=1000, edits=3000):
    """One 640x480 noise picture (130-200 KB) as `samples` pictures of 0.1 s, each chunk the
    same bytes, and an edit list replaying those 100 s `edits` times: 83 hours, hundreds of GB
    when copied out."""
    codec_args = X264 + ["-crf", "30"] if codec == "h264" else ["-pix_fmt", "yuvj420p", "-c:v", "mjpeg"]
    top, stbl, offset, size = one_frame_mp4(path, NOISE, codec_args)
    moov = box(top, "moov")
    trak = box(moov[1], "trak")
    mdhd = box(trak[1], "mdia", "mdhd")
    delta = timescale(mdhd) // 10
    edit = samples * timescale(box(moov[1], "mvhd")) // 10
    stbl[:] = [box(stbl, "stsd"),
               [b"stts", struct.pack(">IIII", 0, 1, samples, delta)],
               [b"stsc", struct.pack(">IIIII", 0, 1, 1, 1, 1)],
               [b"stsz", struct.pack(">III", 0, 0, samples) + struct.pack(">I", size) * samples],
               [b"stco", struct.pack(">II", 0, samples) + struct.pack(">I", offset) * samples]]
    elst = struct.pack(">II", 0, edits) + struct.pack(">IiI", edit, 0, 1 << 16) * edits
    trak[1] = [b for b in trak[1] if b[0] != b"edts"]
    trak[1].insert(1, [b"edts", [[b"elst", elst]]])
    patch(box(moov[1], "mvhd"), 16, 24, edit * edits)
    patch(box(trak[1], "tkhd"), 20, 28, edit * edits)
    patch(mdhd, 16, 24, samples * delta)
    write_boxes(path, top)


# --- self-check: make each file and say what Debian's ffprobe/ffmpeg make of it ---------
