"""Running qm.bat under Wine's cmd, as the tests and the benchmarks do.

Wine's environment (WINEPREFIX, DISPLAY, the 64-bit loader on PATH...) comes from the
caller (tools/test, tools/bench, ctest); every Wine call has a time limit.
"""

import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests"))
import crashlog  # noqa: E402

OK = "Conversion succeeded: "
FAILED = "Conversion failed: "

# How cmd reads piped input and writes to a pipe; code_pages() asks Wine.
OEM = "cp437"
ANSI = "cp1252"


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.setdefault("WINEPREFIX", os.path.join(REPO, "build", "wineprefix"))
    if extra:
        env.update(extra)
    return env


def winpath(path):
    """Linux path -> the same file through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def code_pages():
    """Sets OEM and ANSI from the prefix's registry."""
    global OEM, ANSI
    found = {}
    for name in ("OEMCP", "ACP"):
        r = subprocess.run(["timeout", "-k", "5", "60", "wine", "reg", "query",
                            r"HKLM\System\CurrentControlSet\Control\Nls\CodePage", "/v", name],
                           env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=90)
        for line in r.stdout.decode(errors="replace").splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[0] == name and parts[2].isdigit():
                found[name] = "cp" + parts[2]
    OEM, ANSI = found.get("OEMCP", OEM), found.get("ACP", ANSI)


def start_keeper(folder):
    """Wine's server quits when its last program ends and its next start costs seconds
    (and starts services that hold the starting program's stdout): an idle cmd.exe keeps
    it up for the whole run. Ended by stop_keeper."""
    out = os.path.join(folder, "keeper.out")
    with open(out, "wb") as f:
        proc = subprocess.Popen(["timeout", "-k", "5", "3600", "wine", "cmd.exe"], cwd=folder,
                                env=wine_env(), stdin=subprocess.PIPE, stdout=f, stderr=subprocess.STDOUT)
    end = time.monotonic() + 120
    while time.monotonic() < end and proc.poll() is None:
        with open(out, "rb") as f:
            if b">" in f.read():
                break
        time.sleep(0.1)
    return proc


def stop_keeper(proc, timeout=60):
    """Ends a piped cmd.exe by closing its input; killed if it does not go."""
    proc.stdin.close()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def split_lines(data):
    text = data.decode(ANSI, errors="replace").replace("\r\r\n", "\n").replace("\r\n", "\n")
    return [l.rstrip("\r") for l in text.split("\n")]


class Run:
    """One qm.bat run: exit code, output lines, seconds until it ended."""

    def __init__(self, rc, data, seconds):
        self.rc = rc
        self.data = data
        self.lines = [l for l in split_lines(data) if l.strip()]
        self.seconds = seconds

    @property
    def final(self):
        return next((l for l in reversed(self.lines) if l.startswith((OK, FAILED))), "")

    def __repr__(self):
        return "exit %s after %.1f s:\n  %s" % (self.rc, self.seconds, "\n  ".join(self.lines))


def run_qm(prog, source, target, extra_env=None, timeout=300):
    """`wine cmd /c qm.bat <source> <target>` in the folder `prog` (Wine quotes arguments
    with spaces itself). Arguments are Windows paths or other text; target None: the source
    alone (a folder)."""
    for attempt in (1, 2):
        started = time.monotonic()
        args = [source] if target is None else [source, target]
        r = subprocess.run(["timeout", "-k", "5", str(timeout), "wine", "cmd", "/c", "qm.bat"] + args,
                           cwd=prog, env=wine_env(extra_env), stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout + 30)
        took = time.monotonic() - started
        # Now and then Wine's loader gives up at once, before cmd.exe prints or runs anything
        # (exit 1, no output, well under the ~0.2 s cmd.exe needs to start): started again,
        # once, and said. Anything qm.bat or the engine printed is never retried.
        if attempt == 1 and r.returncode == 1 and not r.stdout.strip() and took < 0.5:
            sys.stderr.write("run_qm: wine cmd ended at once with no output; starting it again\n")
            continue
        return Run(r.returncode, r.stdout, took)


def run_qm_typed(prog, source, target, timeout=300):
    """qm.bat typed into a piped cmd.exe the way the program does it: `cd /d` first, then
    the qm.bat line, stdin open until the final line; the exit code is echoed after it.
    Returns a Run whose data starts at the qm.bat line."""
    proc = subprocess.Popen(["timeout", "-k", "5", str(timeout), "wine", "cmd.exe"],
                            cwd=prog, env=wine_env(), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    raw = bytearray()
    lock = threading.Lock()

    def read():
        while True:
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                return
            with lock:
                raw.extend(chunk)

    def wait_for(cond, limit):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            with lock:
                if cond(bytes(raw)):
                    return
            if proc.poll() is not None:
                break
            time.sleep(0.005)
        raise AssertionError("cmd.exe: timed out or ended; output:\n" + bytes(raw).decode(ANSI, "replace"))

    def send(text):
        proc.stdin.write(text.encode(OEM))
        proc.stdin.flush()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        send('cd /d "%s\\"\r\n' % winpath(prog))
        # cmd starts in that folder too: the prompt after the cd is the second one. A line
        # typed before cmd has read the cd line reaches Wine's cmd with it, and is dropped.
        wait_for(lambda b: b.count((winpath(prog) + ">").encode(OEM, "replace")) >= 2, 60)
        with lock:
            mark = len(raw)
        started = time.monotonic()
        send('qm.bat "%s" "%s"\r\n' % (source, target))
        wait_for(lambda b: Run(0, b[mark:], 0).final != "", timeout)   # the benchmarks time this
        seconds = time.monotonic() - started
        send("echo QMRC=%errorlevel%\r\n")
        wait_for(lambda b: b"\n" in b[b.rfind(b"QMRC="):] and b"QMRC=" in b[mark:], 30)
        with lock:
            data = bytes(raw[mark:])
        rc = int(data[data.rfind(b"QMRC=") + 5:].split(b"\n")[0].strip())
        crashlog.check_exit(rc, "qm.bat's interpreter")
        # What qm.bat printed: up to cmd's next prompt.
        prompt = (winpath(prog) + ">").encode(OEM, "replace")
        end = data.rfind(prompt, 0, data.rfind(b"QMRC="))
        return Run(rc, data[:end if end >= 0 else data.rfind(b"QMRC=")], seconds)
    finally:
        stop_keeper(proc, 30)
        reader.join(10)
