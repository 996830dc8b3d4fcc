"""The real program doing real conversions: ksmConverter.exe beside the real qm.bat and
the Windows ffmpeg.exe, driven through its window (tests/gui/guikit.py does the clicking
and reading), with recordings made and results checked by Debian's ffmpeg/ffprobe.
Shared by the end-to-end tests, the conversion benchmark and tools/demo."""

import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "gui"))
sys.path.insert(0, os.path.join(REPO, "tests", "script"))

import guikit  # noqa: E402
import recordings  # noqa: E402
from recordings import video_md5  # noqa: E402,F401
from guikit import IDC_BROWSE, IDC_CONVERTED, IDC_LOG, IDC_SOURCE_PATH, IDC_START, IDOK  # noqa: E402,F401

FINAL_LINE = re.compile(r"^Conversion (succeeded|failed): .*$", re.M)
# Names of the processes a conversion consists of (the Windows command lines Wine shows).
CONVERSION_PROCESS = re.compile(r"(^|[\\/ ])(cmd|ffmpeg|qmconvert)(\.exe)?( |$)", re.I)
# The program's own interpreter, waiting for its next line.
IDLE_INTERPRETER = re.compile(r"^(c:\\windows\\system32\\)?cmd\.exe( /d /e:on /v:off)?$", re.I)


# --- recordings (Debian's ffmpeg) ------------------------------------------------

def _ffmpeg(path, args, timeout=300):
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args + [path],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    if r.returncode != 0:
        raise RuntimeError("making %s failed: %s" % (path, r.stdout.decode(errors="replace")))
    return path


def _pattern(seconds, size):
    return ["-f", "lavfi", "-i", "testsrc2=size=%s:rate=25" % size,
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", str(seconds)]


def make_h264_ts(path, seconds=10, size="1280x720"):
    """A recording as the recorder writes it: H.264 + AAC in an MPEG transport stream."""
    return _ffmpeg(path, _pattern(seconds, size) + [
        "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-b:v", "4M", "-g", "50",
        "-c:a", "aac", "-b:a", "128k", "-f", "mpegts"])


def make_mpeg2_ps(path, seconds=30, size="1280x720"):
    """An older recording: MPEG-2 video + MP2 audio in a program stream (re-encoded)."""
    return _ffmpeg(path, _pattern(seconds, size) + [
        "-c:v", "mpeg2video", "-b:v", "8M", "-c:a", "mp2", "-b:a", "192k", "-f", "vob"])


def make_garbage(path, size=300000, seed=3):
    """Not a recording at all, only named like one."""
    rnd = random.Random(seed)
    with open(path, "wb") as f:
        f.write(bytes(rnd.randrange(256) for _ in range(size)))
    return path


# --- results (Debian's ffprobe/ffmpeg) --------------------------------------------

def probe(path):
    """{"duration": s, "video": (codec, w, h), "audio": codec or None} of a media file."""
    r = subprocess.run(["ffprobe", "-v", "error", "-print_format", "json", "-show_format",
                        "-show_streams", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=120)
    if r.returncode != 0:
        raise AssertionError("ffprobe cannot read %s: %s" % (path, r.stderr.decode(errors="replace")))
    info = json.loads(r.stdout)
    video = next((s for s in info["streams"] if s["codec_type"] == "video"), None)
    audio = next((s for s in info["streams"] if s["codec_type"] == "audio"), None)
    return {
        "format": info["format"]["format_name"],
        "duration": float(info["format"].get("duration", "nan")),
        "video": (video["codec_name"], video["width"], video["height"]) if video else None,
        "audio": audio["codec_name"] if audio else None,
        "audio_rate": int(audio["sample_rate"]) if audio else None,
    }


def summary(path):
    p = probe(path)
    container = {"mov,mp4,m4a,3gp,3g2,mj2": "MP4", "mpegts": "MPEG-TS", "mpeg": "MPEG-PS"}
    parts = [container.get(p["format"], p["format"])]
    if p["video"]:
        parts.append("video %s %dx%d" % p["video"])
    if p["audio"]:
        parts.append("audio %s %d Hz" % (p["audio"], p["audio_rate"]))
    parts.append("%.2f s" % p["duration"])
    return ", ".join(parts)


def decode_errors(path):
    """What a full decode reports, all of it; empty for a clean file."""
    return recordings.decode_errors(path, stop_at_first=False)


def leftovers(folder, target_name):
    """Work folders and part files a conversion to `target_name` may leave beside it."""
    base = os.path.basename(target_name)
    return sorted(n for n in os.listdir(folder)
                  if n.startswith(base + ".") and not n.endswith(".log") and n != base)


# --- the program ----------------------------------------------------------------

def final_lines(log_text):
    """The "Conversion succeeded/failed: ..." lines of a log box's text."""
    return [m.group(0) for m in FINAL_LINE.finditer(log_text.replace("\r", ""))]


def wine_processes(mark):
    """(pid, command line) of the Wine processes started under this marker (the marker is
    an environment variable, inherited by every Windows child)."""
    needle = ("KSM_E2E_MARK=%s" % mark).encode()
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                if needle not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        if cmdline and not cmdline.startswith("timeout "):
            found.append((int(name), cmdline))
    return found


class Program:
    """ksmConverter.exe under Wine with the real qm.bat and ffmpeg.exe beside it.

    Either a folder of its own (a temp folder with copies and a link to ffmpeg.exe, made
    from `bin_dir`), or an existing release folder (`folder`). Started from drive C: as a
    shortcut would start it; every Wine process it leads to carries a marker, so the
    conversions' processes can be told from anybody else's."""

    def __init__(self, desktop, bin_dir=None, folder=None, parent=None):
        self.desktop = desktop
        self.own_folder = folder is None
        if self.own_folder:
            self.folder = tempfile.mkdtemp(prefix="ksm-e2e-prog-", dir=parent)
            for name in ("ksmConverter.exe", "qm.bat", "qmconvert.exe"):
                shutil.copy(os.path.join(bin_dir, name), self.folder)
            os.symlink(os.path.realpath(os.path.join(bin_dir, "ffmpeg.exe")),
                       os.path.join(self.folder, "ffmpeg.exe"))
        else:
            self.folder = os.path.abspath(folder)
        self.mark = uuid.uuid4().hex
        self.process = None
        self.output = None

    def start(self, timeout=60):
        env = guikit.wine_env({"KSM_E2E_MARK": self.mark})
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            ["timeout", "-k", "5", "1800", "wine", os.path.join(self.folder, "ksmConverter.exe")],
            cwd=guikit.drive_c(), env=env, stdout=self.output, stderr=subprocess.STDOUT)
        return self.window(timeout)

    def window(self, timeout=30):
        deadline = time.time() + timeout
        while True:
            if self.process.poll() is not None:
                raise AssertionError("the program ended (exit %s)" % self.process.returncode)
            found = self.desktop.windows(guikit.WINDOW_TITLE)
            if found:
                return found[0]
            if time.time() > deadline:
                raise AssertionError("the converter window did not appear")
            time.sleep(0.2)

    def log(self):
        return self.window().control(IDC_LOG).text

    def choose(self, path):
        """"...", the full Windows path typed into the open-file dialog's name box, Enter."""
        self.desktop.point_at(*self.window().control(IDC_BROWSE).center())
        self.desktop.xdotool("click", "1")
        self.desktop.type_into_open_dialog(guikit.windows_path(path))
        shown = self.window().control(IDC_SOURCE_PATH).text
        if shown != guikit.windows_path(path):
            raise AssertionError("the path box shows %r after choosing %s" % (shown, path))

    def press_start(self):
        """A click on "Start Conversion"; returns the time of the click."""
        x, y = self.window().control(IDC_START).center()
        self.desktop.point_at(x, y)
        clicked = time.monotonic()
        self.desktop.xdotool("click", "1")
        return clicked

    def wait_log_shows(self, text, timeout=60):
        """Waits until the log box holds `text` (a conversion's "Progress:" line, say)."""
        deadline = time.monotonic() + timeout
        while text not in self.log():
            if time.monotonic() > deadline:
                raise AssertionError("no %r in the log within %s s: %r" % (text, timeout, self.log()[-2000:]))
            time.sleep(0.2)

    def wait_final(self, timeout=300, pause=0.3):
        """Waits for the conversion's last line; returns (log text, that line)."""
        deadline = time.monotonic() + timeout
        text = ""
        while time.monotonic() < deadline:
            text = self.log()
            found = final_lines(text)
            if found:
                return text, found[-1]
            time.sleep(pause)
        raise AssertionError("no final line within %ss; log: %r" % (timeout, text[-2000:]))

    def conversion_processes(self):
        return [(pid, cmd) for pid, cmd in wine_processes(self.mark)
                if CONVERSION_PROCESS.search(cmd)]

    def conversions_running(self):
        """True while a conversion of this program runs. The program's own interpreter
        ("cmd.exe", waiting for its next line) stays as long as the program is open; any
        further interpreter, the engine or ffmpeg means work goes on."""
        found = [cmd for _, cmd in self.conversion_processes()]
        idle = sum(1 for cmd in found if IDLE_INTERPRETER.match(cmd.strip()))
        allowed = 1 if self.process is not None and self.process.poll() is None else 0
        return len(found) > idle or idle > allowed

    def wait_conversions_end(self, timeout=300):
        deadline = time.monotonic() + timeout
        calm = 0
        while time.monotonic() < deadline:
            # Two quiet looks in a row: between two steps of qm.bat nothing else may run.
            calm = 0 if self.conversions_running() else calm + 1
            if calm >= 2:
                return
            time.sleep(0.4)
        raise AssertionError("conversion processes still running after %ss: %r"
                             % (timeout, self.conversion_processes()))

    def done(self, timeout=15):
        """"Done", then waits for the program to end; returns its exit code."""
        self.desktop.point_at(*self.window().control(IDOK).center())
        self.desktop.xdotool("click", "1")
        return self.wait_exit(timeout)

    def wait_exit(self, timeout):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the program did not end within %ss" % timeout)

    def stop(self):
        guikit.stop_program(self.process)
        if self.output:
            self.output.close()
            self.output = None

    def stop_conversions(self):
        """Ends what is left of this program's conversions (by pid), so nothing outlives a
        failed case."""
        for pid, _ in self.conversion_processes():
            try:
                os.kill(pid, 15)
            except OSError:
                pass

    def cleanup(self):
        self.stop()
        self.stop_conversions()
        if self.own_folder:
            shutil.rmtree(self.folder, ignore_errors=True)


# --- the surroundings: a display and the prefix's wineserver ---------------------

def display_works(display):
    if not display:
        return False
    env = dict(os.environ, DISPLAY=display)
    try:
        return subprocess.run(["xdotool", "getdisplaygeometry"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def start_xvfb():
    """Xvfb on the first free display from :90; returns (process, ":N"). The caller stops
    exactly this process."""
    for n in range(90, 200):
        if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
            continue
        proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists("/tmp/.X11-unix/X%d" % n) or proc.poll() is not None:
                break
            time.sleep(0.1)
        if proc.poll() is None and display_works(":%d" % n):
            return proc, ":%d" % n
        stop_process(proc)
    raise RuntimeError("could not start Xvfb")


# Ends a child process (TERM, then KILL after 10 s) if it still runs.
stop_process = guikit.stop_program


def wineserver_running(prefix):
    """Whether this prefix has a wineserver: the server works in a folder named after
    the prefix's device and inode."""
    st = os.stat(prefix)
    folder = "server-%x-%x" % (st.st_dev, st.st_ino)
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % name) as f:
                if not f.read().strip().startswith("wineserver"):
                    continue
            if os.path.basename(os.readlink("/proc/%s/cwd" % name)) == folder:
                return True
        except OSError:
            continue
    return False


def stop_wineserver(prefix):
    subprocess.run(["timeout", "30", "wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
