#!/usr/bin/env python3
"""qm.bat run by Wine's cmd: the three conversion paths, refusals and failures,
awkward file names, live progress and two runs onto one target.

Samples are made with Debian's ffmpeg, results are checked with Debian's ffprobe
and ffmpeg. Wine's environment (WINEPREFIX, DISPLAY, ...) comes from the caller.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))

QM = None          # qm.bat under test
FFMPEG_EXE = None  # the Windows ffmpeg.exe
OEM = "cp437"      # how cmd reads its piped input
ANSI = "cp1252"    # how Wine's cmd writes to a pipe
SAMPLES = None     # folder of generated recordings
WORK = None        # scratch root for this run

# Where a 32-bit program is usually installed, plus the characters cmd is fussy about.
SPECIAL_PROG = os.path.join("Program Files (x86)", "ksm & co ^!")

FINAL_OK = "Conversion succeeded"
FINAL_FAIL = "Conversion failed"


# --- helpers -----------------------------------------------------------------

def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.setdefault("WINEPREFIX", os.path.join(REPO, "build", "wineprefix"))
    if extra:
        env.update(extra)
    return env


def start_wine_keeper(folder):
    """Wine's server quits as soon as its last program ends, and its next start costs
    seconds and launches service processes that inherit the starting program's
    stdout, holding that pipe open until the server quits. An idle cmd.exe, fully up
    before anything else runs, keeps the server and its services alive throughout."""
    out = os.path.join(folder, "keeper.out")
    with open(out, "wb") as f:
        proc = subprocess.Popen(["timeout", "-k", "5", "3600", "wine", "cmd.exe"], cwd=folder,
                                env=wine_env(), stdin=subprocess.PIPE, stdout=f,
                                stderr=subprocess.STDOUT)
    end = time.monotonic() + 120
    while time.monotonic() < end and proc.poll() is None:
        with open(out, "rb") as f:
            if b">" in f.read():   # cmd's prompt: startup is over
                break
        time.sleep(0.1)
    return proc


def stop_wine_keeper(proc):
    proc.stdin.close()
    try:
        proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def winpath(path):
    """Linux path -> the same file through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def sh(args, timeout=300, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout, **kw)


def make_sample(name, args):
    path = os.path.join(SAMPLES, name)
    r = sh(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args + [path])
    if r.returncode != 0:
        raise RuntimeError("making %s failed: %s" % (name, r.stdout.decode(errors="replace")))
    return path


def probe(path):
    r = sh(["ffprobe", "-v", "error", "-print_format", "json", "-show_format",
            "-show_streams", path])
    return json.loads(r.stdout.decode())


def codecs(path):
    info = probe(path)
    return {s["codec_type"]: s["codec_name"] for s in info["streams"]}


def duration(path):
    return float(probe(path)["format"]["duration"])


def decode_errors(path):
    """What ffmpeg complains about while decoding the whole file ("" when clean)."""
    r = sh(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"])
    return r.stdout.decode(errors="replace").strip() + ("" if r.returncode == 0 else " (exit %d)" % r.returncode)


def video_md5(path):
    """MD5 of the decoded first video stream: equal only when the video was copied."""
    r = sh(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "md5", "-"])
    return r.stdout.decode().strip()


def file_md5(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def settled_listdir(folder):
    """The folder's entries once a run is over. qm.bat's progress reporter may outlive
    the script by a second and briefly make and remove its lock folder then."""
    names = os.listdir(folder)
    if any(".qm" in n for n in names):
        time.sleep(4)
        names = os.listdir(folder)
    return names


def leftovers(folder):
    """Temporary work folders, files or locks a run left behind."""
    return [n for n in settled_listdir(folder) if ".qm" in n and ".tmp" in n]


def final_line(lines):
    for line in reversed(lines):
        if line.startswith(FINAL_OK) or line.startswith(FINAL_FAIL):
            return line
    return ""


def split_lines(data):
    text = data.decode(ANSI, errors="replace")
    return [l.rstrip("\r") for l in text.replace("\r\r\n", "\n").split("\n")]


def program_folder(name="prog", ffmpeg=True):
    """A folder as the program is installed: qm.bat and (usually) ffmpeg.exe."""
    folder = tempfile.mkdtemp(prefix="t-", dir=WORK)
    prog = os.path.join(folder, name)
    os.makedirs(prog)
    shutil.copy(QM, os.path.join(prog, "qm.bat"))
    if ffmpeg:
        os.symlink(FFMPEG_EXE, os.path.join(prog, "ffmpeg.exe"))
    return folder, prog


def run_cmd_c(folder, args, extra_env=None, timeout=300):
    """wine cmd /c qm.bat <args> from folder; returns (exit code, output lines).
    Wine quotes arguments with spaces itself, so these names stay plain."""
    r = sh(["timeout", "-k", "5", str(timeout), "wine", "cmd", "/c", "qm.bat"] + list(args),
           timeout=timeout + 30, cwd=folder, env=wine_env(extra_env), stdin=subprocess.DEVNULL)
    return r.returncode, split_lines(r.stdout)


class ProgramLikeRun:
    """Drives cmd.exe the way the program does: stdin and stdout/stderr on pipes,
    "cd /d" first, then the qm.bat line, stdin left open until the run is over."""

    def __init__(self, prog_dir, src, tgt, timeout=300):
        self.events = []          # (seconds since the qm.bat line, text line)
        self.raw = bytearray()
        self.timeout = timeout
        self.proc = subprocess.Popen(
            ["timeout", "-k", "5", str(timeout), "wine", "cmd.exe"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            cwd=WORK, env=wine_env())
        self.lock = threading.Lock()
        self.t0 = time.monotonic()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        try:
            self._send('cd /d "%s\\"\r\n' % winpath(prog_dir))
            self._wait_for(lambda: (winpath(prog_dir) + ">").encode(OEM, "replace") in self.raw, 60)
            self.t0 = time.monotonic()
            with self.lock:
                self.mark = len(self.raw)
            self._send('qm.bat "%s" "%s"\r\n' % (src, tgt))
            self._wait_for(lambda: final_line(self.qm_lines()) != "", timeout)
            self.final_time = time.monotonic() - self.t0
            self._send("echo QMRC=%errorlevel%\r\n")
            self._wait_for(lambda: b"QMRC=" in self.raw[self.mark:] and
                           b"\n" in self.raw[self.raw.rfind(b"QMRC="):], 30)
            text = bytes(self.raw[self.raw.rfind(b"QMRC="):]).split(b"\n")[0]
            self.rc = int(text[5:].strip())
        finally:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.reader.join(10)

    def _send(self, text):
        self.proc.stdin.write(text.encode(OEM))
        self.proc.stdin.flush()

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                break
            now = time.monotonic() - self.t0
            with self.lock:
                self.raw.extend(chunk)
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.events.append((now, line.decode(ANSI, "replace").strip("\r")))

    def _wait_for(self, cond, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with self.lock:
                if cond():
                    return
            if self.proc.poll() is not None:
                raise AssertionError("cmd.exe ended early:\n" + self.raw.decode(ANSI, "replace"))
            time.sleep(0.05)
        raise AssertionError("timed out; output so far:\n" + self.raw.decode(ANSI, "replace"))

    def qm_lines(self):
        return split_lines(bytes(self.raw[getattr(self, "mark", 0):]))

    def qm_bytes(self):
        """What qm.bat printed: from the qm.bat line up to its final line."""
        data = bytes(self.raw[self.mark:])
        end = data.find(b"\n", max(data.find(FINAL_OK.encode()), data.find(FINAL_FAIL.encode())))
        return data[:end + 1]


# --- tests -------------------------------------------------------------------

class ConversionPaths(unittest.TestCase):
    def convert_sample(self, sample, delta, older_target=None):
        """qm.bat on a copy of `sample` in a fresh program folder: succeeds with H.264/AAC
        of the source's duration, decodes cleanly, leaves no work files. Returns
        (source, target, lines)."""
        folder, prog = program_folder()
        src = shutil.copy(os.path.join(SAMPLES, sample), folder)
        tgt = os.path.join(folder, "out.mp4")
        if older_target is not None:
            with open(tgt, "wb") as f:
                f.write(older_target)
        rc, lines = run_cmd_c(prog, [winpath(src), winpath(tgt)])
        self.assertEqual(rc, 0, lines)
        self.assertEqual(final_line(lines), '%s: "%s"' % (FINAL_OK, winpath(tgt)))
        self.assertEqual(codecs(tgt), {"video": "h264", "audio": "aac"})
        self.assertAlmostEqual(duration(tgt), duration(src), delta=delta)
        self.assertEqual(decode_errors(tgt), "")
        self.assertEqual(leftovers(folder), [])
        return src, tgt, lines

    def test_h264_aac_ts_is_remuxed_over_an_older_target(self):
        src, tgt, lines = self.convert_sample("h264_aac.ksm", 0.1, older_target=b"older target")
        self.assertTrue(any("remux" in l for l in lines), lines)
        self.assertEqual(video_md5(tgt), video_md5(src), "video was not copied")
        self.assertTrue(os.path.getsize(tgt + ".log") > 0)
        self.assertTrue(any(winpath(tgt) + ".log" in l for l in lines), lines)

    def test_mulaw_audio_is_converted_video_copied(self):
        src, tgt, _ = self.convert_sample("h264_mulaw.ksm", 0.3)
        self.assertEqual(video_md5(tgt), video_md5(src), "video was not copied")

    def test_mpeg2_program_stream_is_reencoded(self):
        self.convert_sample("mpeg2_ps.ksm", 0.2)


class Refusals(unittest.TestCase):
    def check_failed(self, rc, lines, code=None):
        self.assertNotEqual(rc, 0, lines)
        if code is not None:
            self.assertEqual(rc, code, lines)
        last = [l for l in lines if l.strip()][-1]
        self.assertTrue(last.startswith(FINAL_FAIL), lines)
        self.assertEqual(last, final_line(lines))

    def test_unusable_sources_leave_everything_as_it_was(self):
        folder, prog = program_folder()
        good = os.path.join(SAMPLES, "h264_aac.ksm")
        cases = {}
        cases["empty"] = (os.path.join(folder, "empty.ksm"), b"", 2)
        cases["random bytes"] = (os.path.join(folder, "noise.ksm"), os.urandom(50000), 5)
        with open(good, "rb") as f:   # streams announced, but no usable data
            cases["cut after the headers"] = (os.path.join(folder, "cut.ksm"), f.read(1504), 5)
        for what, (src, data, code) in cases.items():
            with self.subTest(what):
                with open(src, "wb") as f:
                    f.write(data)
                tgt = os.path.join(folder, "old.mp4")
                with open(tgt, "wb") as f:
                    f.write(b"earlier conversion")
                rc, lines = run_cmd_c(prog, [winpath(src), winpath(tgt)])
                self.check_failed(rc, lines, code)
                with open(tgt, "rb") as f:
                    self.assertEqual(f.read(), b"earlier conversion")
                with open(src, "rb") as f:
                    self.assertEqual(f.read(), data)
                self.assertEqual(leftovers(folder), [])
        with self.subTest("missing source"):
            rc, lines = run_cmd_c(prog, [winpath(os.path.join(folder, "nope.ksm")),
                                         winpath(os.path.join(folder, "nope.mp4"))])
            self.check_failed(rc, lines, 2)
            self.assertFalse(os.path.exists(os.path.join(folder, "nope.mp4")))
        with self.subTest("source is a folder"):
            rc, lines = run_cmd_c(prog, [winpath(folder), winpath(os.path.join(folder, "f.mp4"))])
            self.check_failed(rc, lines, 2)
        with self.subTest("arguments missing"):
            rc, lines = run_cmd_c(prog, [])
            self.check_failed(rc, lines, 1)
            rc, lines = run_cmd_c(prog, [winpath(good)])
            self.check_failed(rc, lines, 1)

    def test_target_same_as_source_is_refused(self):
        folder, prog = program_folder()
        src = shutil.copy(os.path.join(SAMPLES, "h264_aac.ksm"), os.path.join(folder, "Rec.ksm"))
        before = file_md5(src)
        sub = os.path.join(folder, "sub")
        os.makedirs(sub)
        for what, tgt in [("same path", winpath(src)),
                          ("other letter case", winpath(os.path.join(folder, "REC.KSM"))),
                          ("relative form", "..\\Rec.ksm")]:
            with self.subTest(what):
                rc, lines = run_cmd_c(prog, [winpath(src), tgt])
                self.check_failed(rc, lines, 2)
                self.assertEqual(file_md5(src), before)
                self.assertEqual(leftovers(folder), [])

    def test_ffmpeg_missing_or_found_on_path(self):
        folder, prog = program_folder(ffmpeg=False)
        src = shutil.copy(os.path.join(SAMPLES, "h264_aac.ksm"), folder)
        tgt = os.path.join(folder, "out.mp4")
        rc, lines = run_cmd_c(prog, [winpath(src), winpath(tgt)])
        self.check_failed(rc, lines, 3)
        self.assertIn("ffmpeg.exe", final_line(lines))
        self.assertFalse(os.path.exists(tgt))
        self.assertEqual(leftovers(folder), [])
        elsewhere = os.path.join(folder, "tools")
        os.makedirs(elsewhere)
        os.symlink(FFMPEG_EXE, os.path.join(elsewhere, "ffmpeg.exe"))
        rc, lines = run_cmd_c(prog, [winpath(src), winpath(tgt)],
                              extra_env={"WINEPATH": winpath(elsewhere)})
        self.assertEqual(rc, 0, lines)
        self.assertEqual(decode_errors(tgt), "")

    def test_ffmpeg_that_cannot_run_is_named_not_the_source(self):
        folder, prog = program_folder(ffmpeg=False)
        with open(os.path.join(prog, "ffmpeg.exe"), "wb") as f:
            f.write(os.urandom(1000))
        src = shutil.copy(os.path.join(SAMPLES, "h264_aac.ksm"), folder)
        tgt = os.path.join(folder, "out.mp4")
        rc, lines = run_cmd_c(prog, [winpath(src), winpath(tgt)])
        self.check_failed(rc, lines, 3)
        self.assertIn("ffmpeg.exe could not be run", final_line(lines))
        self.assertFalse(os.path.exists(tgt))
        self.assertEqual(leftovers(folder), [])

    def test_read_only_target_folder(self):
        folder, prog = program_folder()
        src = shutil.copy(os.path.join(SAMPLES, "h264_aac.ksm"), folder)
        ro = os.path.join(folder, "locked")
        os.makedirs(ro)
        tgt = os.path.join(ro, "out.mp4")
        with open(tgt, "wb") as f:
            f.write(b"earlier conversion")
        # chmod does not stop root; the immutable flag does.
        locked = sh(["chattr", "+i", ro]).returncode == 0
        if not locked:
            os.chmod(ro, 0o555)
        try:
            probe_file = os.path.join(ro, "probe")
            try:
                open(probe_file, "wb").close()
                os.remove(probe_file)
                self.skipTest("cannot make a folder read-only here (root without chattr)")
            except OSError:
                pass
            rc, lines = run_cmd_c(prog, [winpath(src), winpath(tgt)])
            self.check_failed(rc, lines, 4)
            self.assertEqual(sorted(settled_listdir(ro)), ["out.mp4"])
            with open(tgt, "rb") as f:
                self.assertEqual(f.read(), b"earlier conversion")
        finally:
            if locked:
                sh(["chattr", "-i", ro])
            os.chmod(ro, 0o755)


class Names(unittest.TestCase):
    def test_special_characters_through_the_program_pipe(self):
        root, prog = program_folder(name=SPECIAL_PROG)
        recs = os.path.join(root, "rec & (1) ^ x!")
        os.makedirs(recs)
        src = shutil.copy(os.path.join(SAMPLES, "h264_mulaw.ksm"),
                          os.path.join(recs, "cam (2) & yard ^ 100!.ksm"))
        tgt = os.path.join(recs, "out (2) & yard ^ 100!.mp4")
        run = ProgramLikeRun(prog, winpath(src), winpath(tgt))
        lines = run.qm_lines()
        self.assertEqual(run.rc, 0, lines)
        self.assertEqual(final_line(lines), '%s: "%s"' % (FINAL_OK, winpath(tgt)))
        self.assertEqual(decode_errors(tgt), "")
        self.assertEqual(video_md5(tgt), video_md5(src))
        self.assertEqual(sorted(settled_listdir(recs)),
                         sorted([os.path.basename(src), os.path.basename(tgt),
                                 os.path.basename(tgt) + ".log"]))

    def test_non_ascii_names(self):
        folder, prog = program_folder()
        src = shutil.copy(os.path.join(SAMPLES, "h264_aac.ksm"), os.path.join(folder, "café.ksm"))
        with self.subTest("cmd /c with a Unicode command line"):
            tgt = os.path.join(folder, "café.mp4")
            rc, lines = run_cmd_c(prog, [winpath(src), winpath(tgt)])
            self.assertEqual(rc, 0, lines)
            self.assertEqual(decode_errors(tgt), "")
        with self.subTest("program pipe, OEM code page"):
            tgt = os.path.join(folder, "été à Noël.mp4")
            run = ProgramLikeRun(prog, winpath(src), winpath(tgt))
            self.assertEqual(run.rc, 0, run.qm_lines())
            self.assertEqual(decode_errors(tgt), "")
        self.assertEqual(leftovers(folder), [])


class LiveProgress(unittest.TestCase):
    def test_progress_lines_arrive_during_a_long_reencode(self):
        # Awkward names here too: the progress reporter handles the paths on its own.
        folder, prog = program_folder(name=SPECIAL_PROG)
        out = os.path.join(folder, "out & (1) ^ x!")
        os.makedirs(out)
        src = os.path.join(out, "long (1) & ^!.ksm")
        os.symlink(os.path.join(SAMPLES, "long_mpeg2_ps.ksm"), src)
        tgt = os.path.join(out, "long (1) & ^!.mp4")
        run = ProgramLikeRun(prog, winpath(src), winpath(tgt), timeout=600)
        lines = run.qm_lines()
        self.assertEqual(run.rc, 0, lines)
        progress = [(t, l) for t, l in run.events if l.startswith("Progress:")]
        self.assertGreaterEqual(len(progress), 2, run.events)
        # Live, not all at the end: the first one comes well before the final line,
        # and none after it.
        self.assertLess(progress[0][0], run.final_time - 2.0, run.events)
        self.assertLess(progress[-1][0], run.final_time, run.events)
        # Not flooding: roughly one line every few seconds, each one short.
        self.assertLessEqual(len(progress), run.final_time / 2 + 2, run.events)
        data = run.qm_bytes()
        self.assertLess(len(data), 100 * len(progress) + 1500, data)
        # Every CR belongs to a line end: no lone-CR statistics piling up in one line.
        self.assertEqual(data.replace(b"\r\r\n", b"").replace(b"\r\n", b"").count(b"\r"), 0, data)
        pct = [int(l.rsplit("(", 1)[1].rstrip("%)")) for _, l in progress]
        self.assertEqual(pct, sorted(pct))
        self.assertEqual(decode_errors(tgt), "")
        self.assertAlmostEqual(duration(tgt), duration(src), delta=0.2)
        self.assertEqual(leftovers(out), [])


class Concurrency(unittest.TestCase):
    def test_two_runs_onto_one_target(self):
        folder, prog = program_folder()
        src = shutil.copy(os.path.join(SAMPLES, "mpeg2_ps.ksm"), folder)
        tgt = os.path.join(folder, "out.mp4")
        procs = [subprocess.Popen(["timeout", "-k", "5", "300", "wine", "cmd", "/c", "qm.bat",
                                   winpath(src), winpath(tgt)],
                                  cwd=prog, env=wine_env(), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                 for _ in range(2)]
        # Both pipes are drained at once, so neither run can stall on a full pipe
        # while the other is waited for; the wait is bounded.
        outputs = [b""] * len(procs)

        def drain(i):
            outputs[i] = procs[i].communicate()[0]
        readers = [threading.Thread(target=drain, args=(i,), daemon=True) for i in range(len(procs))]
        for r in readers:
            r.start()
        for r in readers:
            r.join(330)
        self.assertFalse(any(r.is_alive() for r in readers), "a run did not finish: %r" % outputs)
        results = [(p.returncode, split_lines(out)) for p, out in zip(procs, outputs)]
        for rc, lines in results:
            self.assertEqual(rc, 0, lines)
            self.assertTrue(final_line(lines).startswith(FINAL_OK), lines)
        self.assertEqual(sorted(settled_listdir(folder)),
                         sorted(["mpeg2_ps.ksm", "out.mp4", "out.mp4.log", "prog"]))
        self.assertEqual(codecs(tgt), {"video": "h264", "audio": "aac"})
        self.assertEqual(decode_errors(tgt), "")


# --- setup -------------------------------------------------------------------

def make_samples():
    v320 = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25"]
    make_sample("h264_aac.ksm", v320 + ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
                "-t", "5", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast",
                "-g", "25", "-c:a", "aac", "-b:a", "64k", "-f", "mpegts"])
    make_sample("h264_mulaw.ksm", v320 + ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000",
                "-t", "5", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast",
                "-g", "25", "-c:a", "pcm_mulaw", "-ac", "1", "-f", "avi"])
    make_sample("mpeg2_ps.ksm", v320 + ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
                "-t", "5", "-c:v", "mpeg2video", "-q:v", "4", "-c:a", "mp2", "-b:a", "128k",
                "-f", "vob"])
    # Long enough for several progress lines even on a fast machine.
    make_sample("long_mpeg2_ps.ksm", ["-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25",
                "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "40",
                "-c:v", "mpeg2video", "-b:v", "6M", "-c:a", "mp2", "-b:a", "192k", "-f", "vob"])


def code_pages():
    """cmd reads piped input in the OEM code page and writes in the ANSI one."""
    found = {}
    for name in ("OEMCP", "ACP"):
        r = sh(["timeout", "-k", "5", "60", "wine", "reg", "query",
                r"HKLM\System\CurrentControlSet\Control\Nls\CodePage", "/v", name],
               env=wine_env(), timeout=90, stdin=subprocess.DEVNULL)
        for line in r.stdout.decode(errors="replace").splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[0] == name and parts[2].isdigit():
                found[name] = "cp" + parts[2]
    return found.get("OEMCP", "cp437"), found.get("ACP", "cp1252")


def main():
    global QM, FFMPEG_EXE, OEM, ANSI, SAMPLES, WORK
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bin-dir", help="build output folder holding qm.bat and ffmpeg.exe")
    ap.add_argument("--qm", help="qm.bat to test (default: <bin-dir>/qm.bat)")
    ap.add_argument("--ffmpeg", help="Windows ffmpeg.exe (default: $KSM_FFMPEG, <bin-dir>, build/ffmpeg-win32)")
    opts, rest = ap.parse_known_args()

    candidates = [opts.qm] if opts.qm else []
    if opts.bin_dir:
        candidates.append(os.path.join(opts.bin_dir, "qm.bat"))
    candidates.append(os.path.join(REPO, "scripts", "qm.bat"))
    QM = next(p for p in candidates if p and os.path.isfile(p))

    candidates = [opts.ffmpeg, os.environ.get("KSM_FFMPEG")]
    if opts.bin_dir:
        candidates.append(os.path.join(opts.bin_dir, "ffmpeg.exe"))
    candidates.append(os.path.join(REPO, "build", "ffmpeg-win32", "ffmpeg.exe"))
    FFMPEG_EXE = next((os.path.abspath(p) for p in candidates if p and os.path.isfile(p)), None)
    if FFMPEG_EXE is None:
        print("no Windows ffmpeg.exe found (run tools/setup or pass --ffmpeg)")
        return 1
    for tool in ("wine", "ffmpeg", "ffprobe"):
        if shutil.which(tool) is None:
            print("%s is not installed (run tools/setup)" % tool)
            return 1
    print("qm.bat: %s\nffmpeg.exe: %s" % (QM, FFMPEG_EXE), flush=True)

    WORK = tempfile.mkdtemp(prefix="qm-test-")
    SAMPLES = os.path.join(WORK, "samples")
    os.makedirs(SAMPLES)
    keeper = start_wine_keeper(WORK)
    try:
        OEM, ANSI = code_pages()
        make_samples()
        suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
        if rest:
            suite = unittest.defaultTestLoader.loadTestsFromNames(rest, sys.modules[__name__])
        result = unittest.TextTestRunner(verbosity=2).run(suite)
        failed = len(result.failures) + len(result.errors)
        skipped = len(result.skipped)
        print("%d passed, %d failed, %d skipped" % (result.testsRun - failed - skipped, failed, skipped))
        return 0 if result.wasSuccessful() else 1
    finally:
        stop_wine_keeper(keeper)
        for dirpath, dirnames, _ in os.walk(WORK):
            for d in dirnames:   # an interrupted run may leave the locked folder behind
                if d == "locked":
                    sh(["chattr", "-i", os.path.join(dirpath, d)])
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
