"""Wine calls for the benchmarks: each with a time limit, its output going to a file that is
read once the call has ended. A pipe is never read to its end: a wineserver started by the
call inherits the pipe and holds it open, so the reader would wait for ever."""

import os
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "script"))

import qmkit  # noqa: E402
import recordings  # noqa: E402
from qmkit import winpath  # noqa: E402


def program_folder(bin_dir, who):
    """The folder with qm.bat, qmconvert.exe and ffmpeg.exe, or the bench ends saying what is missing."""
    prog = os.path.abspath(bin_dir)
    for name in ("qm.bat", "qmconvert.exe", "ffmpeg.exe"):
        if not os.path.isfile(os.path.join(prog, name)):
            sys.exit("%s: no %s in %s" % (who, name, prog))
    return prog


def scratch_folder(prefix):
    """In memory when there is room: disk writeback stalls would drown the differences."""
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    return tempfile.mkdtemp(prefix=prefix, dir=shm)


def looped(ts, path, gib, past=False, timeout=1800):
    """The TS recording `ts` played again and again into `path`: about `gib` GiB, or just
    past it; returns how many times it was played."""
    share = gib * 2 ** 30 / os.path.getsize(ts)
    loops = int(share) + 1 if past else max(1, int(share))
    recordings.ffmpeg(["-stream_loop", str(loops - 1), "-i", ts, "-c", "copy", "-f", "mpegts", path], timeout=timeout)
    return loops


def wine(args, cwd=None, timeout=1800, env=None, stderr=subprocess.STDOUT):
    """Runs args (a wine command line) under `timeout`; returns (seconds, exit code, its output
    as bytes: stdout, and stderr unless told otherwise)."""
    with tempfile.TemporaryFile() as out:
        started = time.monotonic()
        proc = subprocess.Popen(["timeout", "-k", "5", str(timeout)] + args, cwd=cwd,
                                env=env or qmkit.wine_env(), stdin=subprocess.DEVNULL, stdout=out,
                                stderr=stderr)
        rc = proc.wait()   # `timeout` ends it; a wait with a time limit would poll, 50 ms apart
        took = time.monotonic() - started
        out.seek(0)
        return took, rc, out.read()


def run_qm(prog, source, target, timeout=600):
    """`wine cmd /c qm.bat <source> <target>` in the folder `prog`; a qmkit.Run."""
    took, rc, data = wine(["wine", "cmd", "/c", "qm.bat", source, target], prog, timeout)
    return qmkit.Run(rc, data, took)


def run_qm_typed(prog, source, target, timeout=300):
    """qm.bat typed into a running cmd.exe as the window does (`cd /d` first, then the qm.bat
    line); timed from that line to the final line. The exit code is echoed after it."""
    out = tempfile.TemporaryFile()
    proc = subprocess.Popen(["timeout", "-k", "5", str(timeout + 60), "wine", "cmd.exe"], cwd=prog,
                            env=qmkit.wine_env(), stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)

    def wait_for(cond, limit):
        end = time.monotonic() + limit
        while time.monotonic() < end and proc.poll() is None:
            data = os.pread(out.fileno(), 1 << 24, 0)
            if cond(data):
                return data
            time.sleep(0.005)
        raise RuntimeError("cmd.exe: timed out or ended; output:\n" +
                           os.pread(out.fileno(), 1 << 24, 0).decode(qmkit.ANSI, "replace"))

    def send(text):
        proc.stdin.write(text.encode(qmkit.OEM))
        proc.stdin.flush()

    try:
        prompt = (winpath(prog) + ">").encode(qmkit.OEM, "replace")
        send('cd /d "%s\\"\r\n' % winpath(prog))
        # cmd starts in that folder too: the prompt after the cd is the second one. A line
        # typed before cmd has read the cd line is dropped by Wine's cmd.
        mark = len(wait_for(lambda b: b.count(prompt) >= 2, 60))
        started = time.monotonic()
        send('qm.bat "%s" "%s"\r\n' % (source, target))
        wait_for(lambda b: qmkit.Run(0, b[mark:], 0).final != "", timeout)
        seconds = time.monotonic() - started
        send("echo QMRC=%errorlevel%\r\n")
        data = wait_for(lambda b: b"QMRC=" in b[mark:] and b"\n" in b[b.rfind(b"QMRC="):], 30)[mark:]
        rc = int(data[data.rfind(b"QMRC=") + 5:].split(b"\n")[0].strip())
        end = data.rfind(prompt, 0, data.rfind(b"QMRC="))
        return qmkit.Run(rc, data[:end if end >= 0 else data.rfind(b"QMRC=")], seconds)
    finally:
        qmkit.stop_keeper(proc, 30)
        out.close()


def qm_watched(prog, source, target, timeout=3600, every=0.05):
    """Runs qm.bat once, looking every `every` seconds at each ffmpeg.exe process that reads
    `source`. Returns the run, the arguments of the last one (Wine gives a Windows process its
    parsed arguments as its Linux argv; None if none was seen) and the most memory any of them
    held, in bytes (the largest VmHWM or VmRSS seen)."""
    seen = []
    peak = [0]
    done = threading.Event()

    def watch():
        while not done.is_set():
            for pid, argv in ffmpeg_processes():
                if winpath(source) not in argv:
                    continue   # another program's
                if argv not in seen:
                    seen.append(argv)
                try:
                    with open("/proc/%d/status" % pid) as f:
                        for line in f:
                            if line.startswith(("VmHWM:", "VmRSS:")):
                                peak[0] = max(peak[0], int(line.split()[1]) * 1024)
                except OSError:
                    pass
            done.wait(every)
    t = threading.Thread(target=watch, daemon=True)
    t.start()
    run = run_qm(prog, winpath(source), winpath(target), timeout)
    done.set()
    t.join()
    return run, seen[-1][1:] if seen else None, peak[0]


def ffmpeg_processes():
    """[(pid, argv)] of the running ffmpeg.exe processes."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                # Wine pads the last argument with spaces.
                argv = [a.decode(errors="replace").rstrip(" ") for a in f.read().split(b"\0")]
        except OSError:
            continue
        argv = [a for a in argv if a]
        if argv and argv[0].lower().endswith("ffmpeg.exe"):
            found.append((int(pid), argv))
    return found
