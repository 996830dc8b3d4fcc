"""Shared helpers of the window tests: run Windows programs under Wine, find their
windows, read their controls (through WindowProbe.exe) and act on them as a person
would (through xdotool)."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import crashlog  # noqa: E402

WINDOW_TITLE = "Kesmora (.ksm) Converter"

IDOK, IDCANCEL = 1, 2
IDC_BROWSE, IDC_SOURCE_PATH, IDC_START, IDC_LOG, IDC_CONVERTED = 1000, 1003, 1004, 1005, 1006
WM_CLOSE = 0x0010
FILE_NAME_BOX = 1148  # the open-file dialog's file-name combo box, and the edit inside it


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--shot", help="where to save a screenshot of the window")
    parser.add_argument("cases", nargs="*", help="run only these cases")
    return parser.parse_args()


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if extra:
        env.update(extra)
    return env


def drive_c():
    """The Linux folder of the Wine prefix's drive C:."""
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    return os.path.join(prefix, "drive_c")


def windows_path(path):
    """Z:\\... for a Linux path (Wine maps / to Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append({"r": "\r", "n": "\n", "t": "\t", "\\": "\\"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


class Win:
    """One window or control as the probe saw it."""

    def __init__(self, line):
        kind, rest = line.split(" ", 1)
        self.kind = kind
        head, text = rest.split(" text=", 1)
        fields = dict(part.split("=", 1) for part in head.split(" "))
        self.hwnd = int(fields["hwnd"])
        self.id = int(fields["id"])
        self.cls = fields["class"]
        self.enabled = fields["enabled"] == "1"
        self.visible = fields["visible"] == "1"
        self.iconic = fields["iconic"] == "1"
        self.rect = tuple(int(v) for v in fields["rect"].split(","))
        self.owner = int(fields["owner"])
        self.focus = int(fields["focus"])
        self.text = unescape(text)
        self.controls = []

    def control(self, control_id):
        for c in self.controls:
            if c.id == control_id:
                return c
        raise KeyError("no control %d in %r" % (control_id, self.text))

    def center(self):
        left, top, right, bottom = self.rect
        return (left + right) // 2, (top + bottom) // 2


class Desktop:
    def __init__(self, bin_dir):
        self.bin_dir = os.path.abspath(bin_dir)
        self.probe_exe = os.path.join(self.bin_dir, "WindowProbe.exe")

    # --- Windows side ---

    def probe(self, *args):
        result = subprocess.run(["timeout", "-k", "5", "60", "wine", self.probe_exe] + list(args),
                                env=wine_env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return result.stdout.decode("utf-8", "replace")

    def windows(self, title=None):
        out = self.probe("windows", title) if title else self.probe("windows")
        found = []
        for line in out.splitlines():
            if line.startswith("window "):
                found.append(Win(line))
            elif line.startswith("control ") and found:
                found[-1].controls.append(Win(line))
        return found

    def wait_window(self, title, timeout=30, gone=False, pid_filter=None):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.windows(title)
            if gone and not found:
                return None
            if found and not gone:
                return found[0]
            time.sleep(0.2)
        raise AssertionError("window %r %s after %ss%s" % (title, "still there" if gone else "not found", timeout,
                                                          self.describe(found)))

    def describe(self, found):
        """What a window left standing shows, for the failure message."""
        lines = []
        for w in found or []:
            lines.append("\n      %s %r" % (w.cls, w.text))
            lines.extend("\n        %d %s %r" % (c.id, c.cls, c.text) for c in w.controls
                         if c.visible and c.text)
        return "".join(lines)

    def file_name_box(self):
        """The edit control in the open-file dialog's file-name box, or None; `has_focus`
        tells whether it holds the keyboard focus."""
        for window in self.windows("Open"):
            for control in window.controls:
                if control.id == FILE_NAME_BOX and control.cls == "Edit":
                    control.has_focus = window.focus == control.hwnd
                    return control
        return None

    def type_into_open_dialog(self, text, timeout=30):
        """Types `text` into the open-file dialog's name box once the dialog has put the
        focus there, checks what arrived, and presses Enter.

        A person looks at what they typed before pressing Enter, and corrects it: so does
        this. On a busy machine a fresh Wine prefix can still be setting the dialog up when
        typing starts, and a keystroke can go astray (xdotool remaps a spare key for each
        character the keyboard map lacks, such as an accented one, and under load the next
        character can be read through the previous one's mapping): a retry hands the
        characters to the box directly, as an input method would."""
        for attempt in range(3):
            self.wait_open_dialog(timeout)
            if attempt:
                self.retype(self.file_name_box().hwnd, text)
            else:
                self.type(text)
            box = self.wait_for(lambda: _holding(self.file_name_box(), text), timeout=3)
            if box:
                break
            shown = self.file_name_box()
            print("    the file-name box showed %r, not %r: typing it again" % (shown and shown.text, text),
                  flush=True)
        else:
            box = self.file_name_box()
            raise AssertionError("the file-name box never showed %r: %r" % (text, box and box.text))
        self.key("Return")
        if self.wait_for(lambda: not self.windows("Open"), timeout=10):
            return
        if not any(w.owner for w in self.windows() if w.text != "Open"):
            print("    the open-file dialog stayed after Enter: pressing it again", flush=True)
            self.key("Return")  # nothing in the way (no message box): as a person would, again
        self.wait_window("Open", gone=True, timeout=timeout)

    def wait_open_dialog(self, timeout=30):
        """Waits for the open-file dialog and for its name box to take the focus (the
        dialog's own set-up, which keys pressed earlier would miss), then gives the dialog
        the X keyboard focus."""
        self.wait_window("Open", timeout=timeout)
        self.wait_for(lambda: _focused(self.file_name_box()), timeout=10)
        self.focus("Open")

    def wait_for(self, probe, timeout):
        """Polls `probe` until it returns something true (returned) or the time is up (None)."""
        deadline = time.time() + timeout
        while True:
            found = probe()
            if found or time.time() > deadline:
                return found or None
            time.sleep(0.2)

    def retype(self, hwnd, text):
        units = text.encode("utf-16-le")
        self.probe("retype", str(hwnd), *[str(units[i] | units[i + 1] << 8) for i in range(0, len(units), 2)])

    def post(self, hwnd, message, wparam=0, lparam=0):
        self.probe("post", str(hwnd), str(message), str(wparam), str(lparam))

    # --- X side: what a person does ---

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + [str(a) for a in args], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=30).stdout.decode().split()

    def focus(self, title):
        ids = self.xdotool("search", "--name", "^%s$" % title.replace("(", "\\(").replace(")", "\\)")
                           .replace(".", "\\."))
        if ids:
            self.xdotool("windowfocus", "--sync", ids[-1])

    def point_at(self, x, y):
        """Moves the pointer onto (x, y), as a person's hand would: a click where the
        pointer already rests is often lost, and `mousemove --sync` onto the point where
        it already is waits ~15 s for a move that never comes, so step off it first."""
        if self.xdotool("getmouselocation")[:2] == ["x:%d" % x, "y:%d" % y]:
            self.xdotool("mousemove", "--sync", x + 3, y + 3)
        self.xdotool("mousemove", "--sync", x, y)
        time.sleep(0.1)

    def click(self, x, y):
        self.point_at(x, y)
        self.xdotool("click", "1")

    def double_click(self, x, y):
        self.point_at(x, y)
        self.xdotool("click", "--repeat", "2", "--delay", "60", "1")

    def click_control(self, window, control_id):
        self.click(*window.control(control_id).center())

    def click_close_box(self, window):
        left, top, right, bottom = window.rect
        self.click(right - 14, top + 11)

    def type(self, text):
        self.xdotool("type", "--delay", "25", text)

    def key(self, *keys):
        self.xdotool("key", *keys)

    def screenshot(self, path, rect=None):
        subprocess.run(["import", "-window", "root", path], check=True, timeout=60)
        if rect:
            left, top, right, bottom = rect
            subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                            "+repage", path], check=True, timeout=60)


def _focused(control):
    return control if control is not None and control.has_focus else None


def _holding(control, text):
    return control if control is not None and control.text == text else None


def stop_program(process):
    """Ends a program started under `timeout ... wine`, if it still runs."""
    # TERM reaches the Wine program through `timeout`; KILL would stop only `timeout`.
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Converter:
    """ksmConverter.exe copied into a folder of its own beside a stand-in qm.bat, started
    from another drive (C:), as a person would start it from a shortcut."""

    STAND_IN = "\r\n".join([
        "@echo off",
        "echo qm-begin",
        "echo run>> \"%~dp0calls.txt\"",
        "cd>> \"%~dp0calls.txt\"",
        "echo [%~1]>> \"%~dp0calls.txt\"",
        "echo [%~2]>> \"%~dp0calls.txt\"",
        "if exist %1 (echo source-found>> \"%~dp0calls.txt\") else (echo source-missing>> \"%~dp0calls.txt\")",
        "if not \"%KSM_STANDIN_SLEEP%\"==\"\" \"%~dp0WindowProbe.exe\" sleep %KSM_STANDIN_SLEEP%",
        "echo done>> \"%~dp0calls.txt\"",
        "echo qm-end",
        ""])

    def __init__(self, desktop, sleep_ms=None):
        self.desktop = desktop
        self.folder = tempfile.mkdtemp(prefix="ksm-gui-")
        shutil.copy(os.path.join(desktop.bin_dir, "ksmConverter.exe"), self.folder)
        shutil.copy(desktop.probe_exe, self.folder)
        with open(os.path.join(self.folder, "qm.bat"), "w", newline="") as f:
            f.write(self.STAND_IN)
        self.sleep_ms = sleep_ms
        self.process = None

    def path(self, name):
        return os.path.join(self.folder, name)

    def start(self):
        extra = {"KSM_STANDIN_SLEEP": str(self.sleep_ms)} if self.sleep_ms else {}
        # Started on drive C: so the program's folder lies on another drive.
        cwd = drive_c()
        self.output = open(self.path("wine-output.txt"), "wb")
        self.process = subprocess.Popen(["timeout", "-k", "5", "300", "wine", self.path("ksmConverter.exe")],
                                        cwd=cwd, env=wine_env(extra), stdout=self.output,
                                        stderr=subprocess.STDOUT)
        return self.window()

    def window(self, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("the program ended early (exit %s)" % self.process.returncode)
            found = self.desktop.windows(WINDOW_TITLE)
            if found:
                return found[0]
            time.sleep(0.2)
        raise AssertionError("the converter window did not appear")

    def message_box(self, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            boxes = [w for w in self.desktop.windows("ksmConverter") if w.cls == "#32770"]
            if boxes:
                return boxes[0]
            time.sleep(0.2)
        raise AssertionError("no message box appeared")

    def calls(self):
        try:
            with open(self.path("calls.txt"), "rb") as f:
                return f.read().decode("cp437").replace("\r", "").splitlines()
        except FileNotFoundError:
            return []

    def wait_calls(self, predicate, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            lines = self.calls()
            if predicate(lines):
                return lines
            time.sleep(0.2)
        raise AssertionError("stand-in script record not as expected: %r" % self.calls())

    def wait_log(self, predicate, timeout=30):
        deadline = time.time() + timeout
        text = ""
        while time.time() < deadline:
            text = self.window().control(IDC_LOG).text
            if predicate(text):
                return text
            time.sleep(0.3)
        raise AssertionError("log not as expected: %r" % text)

    def wait_end(self, timeout):
        """Seconds until the process ended; fails after `timeout`."""
        start = time.time()
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the program did not end within %ss" % timeout)
        return time.time() - start

    def stop(self):
        stop_program(self.process)
        if self.process:
            self.output.close()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


class Cases:
    """Runs named cases, printing one line each and the closing count. A case during which
    a program crashed fails (`crashes`: False only where crashes are the subject)."""

    def __init__(self, only=None, crashes=True):
        self.passed = 0
        self.failed = 0
        self.only = only or []
        self.crashes = crashes

    def run(self, name, fn, *args):
        if self.only and name not in self.only:
            return
        print("[ RUN  ] %s" % name, flush=True)
        crashes = crashlog.Watch()
        error = None
        try:
            fn(*args)
        except Exception as found:  # a failed check or a broken step: report and go on
            error = found
        # A crash decides the case even where the case found nothing else wrong, and comes
        # first where it did.
        try:
            if self.crashes:
                crashes.check()
        except AssertionError as crash:
            error = crash if error is None else AssertionError("%s\n    then %s: %s" % (crash, type(error).__name__,
                                                                                     error))
        if error is not None:
            self.failed += 1
            print("    FAILED: %s: %s" % (type(error).__name__, error), flush=True)
            print("[ FAIL ] %s" % name, flush=True)
            return
        self.passed += 1
        print("[  OK  ] %s" % name, flush=True)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed), flush=True)
        sys.exit(0 if self.failed == 0 and self.passed > 0 else 1)


def check_equal(actual, expected, what):
    if actual != expected:
        raise AssertionError("%s: %r, expected %r" % (what, actual, expected))


def check(condition, what):
    if not condition:
        raise AssertionError(what)
