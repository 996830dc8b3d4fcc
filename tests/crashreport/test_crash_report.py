#!/usr/bin/env python3
"""A crash under the test prefix: CrashReport.exe, registered as its crash debugger, logs
it at once naming the program, and each test kit fails the test it happened in, naming
the program too. Needs the prefix tools/setup prepared."""

import contextlib
import io
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "gui"))
sys.path.insert(0, os.path.join(HERE, ".."))

import crashlog  # noqa: E402
import guikit  # noqa: E402
from guikit import check, check_equal  # noqa: E402

CRASH_LINE = re.compile(r"^CRASH Crasher\.exe pid \d+ exception 0xC0000005 \(.*\\Crasher\.exe\)$")


def wine(bin_dir, *args):
    """(Linux exit status, output, seconds) of Crasher.exe under Wine."""
    started = time.monotonic()
    r = subprocess.run(["timeout", "-k", "5", "120", "wine", os.path.join(bin_dir, "Crasher.exe")] + list(args),
                       env=guikit.wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=150)
    return r.returncode, r.stdout.decode(errors="replace"), time.monotonic() - started


def the_debugger_logs_and_lets_go(args):
    watch = crashlog.Watch()
    rc, out, seconds = wine(args.bin_dir, "--crash")
    lines = watch.new_lines()
    check(seconds < 60 and rc not in (124, 137), "the crash held the program for %.0f s (a crash dialog?)" % seconds)
    check_equal(len(lines), 1, "crash lines %r" % lines)
    check(CRASH_LINE.match(lines[0]), "crash line %r" % lines[0])


def the_cpp_kit_fails_the_case(args):
    watch = crashlog.Watch()
    rc, out, _ = wine(args.bin_dir, "a_child_crashes")
    watch.new_lines()
    check(rc != 0, "exit status 0:\n%s" % out)
    check("[ FAIL ] a_child_crashes" in out and "CRASH Crasher.exe" in out, "output:\n%s" % out)
    check("Crasher.cpp" not in out, "the crashed child's end (wait, exit code):\n%s" % out)


def the_python_kits_fail_the_case(args):
    kit = guikit.Cases()
    said = io.StringIO()
    with contextlib.redirect_stdout(said):
        kit.run("crashing", lambda: wine(args.bin_dir, "--crash"))
        kit.run("quiet", lambda: None)
    check_equal((kit.passed, kit.failed), (1, 1), "passed, failed:\n%s" % said.getvalue())
    check("Crasher.exe crashed" in said.getvalue(), "output:\n%s" % said.getvalue())

    class Case(crashlog.CrashCheckedCase):
        def test_crashing(self):
            wine(args.bin_dir, "--crash")

    result = Case("test_crashing").run()
    problems = result.errors + result.failures
    check_equal(len(problems), 1, "unittest failures")
    check("Crasher.exe crashed" in problems[0][1], "unittest failure: %s" % problems[0][1])


def main():
    args = guikit.parse_args()
    cases = guikit.Cases(args.cases, crashes=False)
    cases.run("the_debugger_logs_and_lets_go", the_debugger_logs_and_lets_go, args)
    cases.run("the_cpp_kit_fails_the_case", the_cpp_kit_fails_the_case, args)
    cases.run("the_python_kits_fail_the_case", the_python_kits_fail_the_case, args)
    cases.finish()


if __name__ == "__main__":
    main()
