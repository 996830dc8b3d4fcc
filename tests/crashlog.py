"""The test prefix's crash log. tools/setup registers tests/crashreport's CrashReport.exe
as the prefix's crash debugger; it appends a line for every program that meets an
exception nobody handles:

    CRASH ffmpeg.exe pid 312 exception 0xC0000005 (Z:\\...\\ffmpeg.exe)

A test during which such a line appeared fails with it, whatever else it saw. The log is
one file for the prefix (Wine gives the debugger none of the crashing program's
environment), so a crash fails every test running at that moment."""

import os
import unittest

NAME = "ksm-crashes.log"
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


def path():
    prefix = os.environ.get("WINEPREFIX") or os.path.join(REPO, "build", "wineprefix")
    return os.path.join(prefix, "drive_c", NAME)


def _size():
    try:
        return os.path.getsize(path())
    except OSError:
        return 0


class Watch:
    """The crash lines written since it was made (or last asked)."""

    def __init__(self):
        self.offset = _size()

    def new_lines(self):
        try:
            with open(path(), "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except OSError:
            return []
        self.offset += len(data)
        return [l for l in data.decode("utf-8", "replace").splitlines() if l.strip()]

    def check(self):
        lines = self.new_lines()
        if lines:
            raise AssertionError("%s crashed:\n      %s" % (", ".join(sorted({program(l) for l in lines})),
                                                          "\n      ".join(lines)))


def program(line):
    """The program a crash line names."""
    parts = line.split()
    return parts[1] if len(parts) > 1 and parts[0] == "CRASH" else line


def is_exception(code):
    """Whether a Windows exit status is an exception code (0xC0000000 and up), as a
    program that crashed ends with; `code` as Windows gives it, signed or not."""
    return code is not None and (code & 0xFFFFFFFF) >= 0xC0000000


def check_exit(code, name):
    if is_exception(code):
        raise AssertionError("%s crashed: exit 0x%08X" % (name, code & 0xFFFFFFFF))


class CrashCheckedCase(unittest.TestCase):
    """A unittest case that fails when a program crashed while it ran."""

    def setUp(self):
        super().setUp()
        self.addCleanup(Watch().check)
