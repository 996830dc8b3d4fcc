"""The converter program under Wine, worked as a person works it: the open-file dialog,
Start Conversion with a stand-in qm.bat that records what it was given, and every way
of closing the window."""

import os
import shutil
import tempfile
import time

import guikit
from guikit import (IDC_BROWSE, IDC_CONVERTED, IDC_LOG, IDC_SOURCE_PATH, IDC_START, IDOK, WM_CLOSE,
                    WINDOW_TITLE, check, check_equal)

LOG_HEADER = "Start Converting the file.\r\n \r\n"
DEAD_READER = "The redir thread is dead"


def choose_file(desktop, app, path):
    """"..." then the full path typed into the open-file dialog's name box, then Enter.
    `path`: a Linux path, or a Windows one (with a drive letter)."""
    desktop.click_control(app.window(), IDC_BROWSE)
    desktop.type_into_open_dialog(path if path[1:2] == ":" else guikit.windows_path(path))


def press_start(desktop, app):
    desktop.click_control(app.window(), IDC_START)


def make_file(folder, name):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(b"KSM stand-in content")
    return path


def conversion_and_browsing(desktop, args):
    app = guikit.Converter(desktop)
    # The source lies on drive C:, where the program is started, and the program on Z:.
    drive_c = tempfile.mkdtemp(prefix="ksm-gui-src-", dir=guikit.drive_c())
    try:
        clips = os.path.join(drive_c, "my clips")
        source = make_file(clips, "caf\u00e9.ksm")
        source_win = "C:\\%s\\my clips\\caf\u00e9.ksm" % os.path.basename(drive_c)
        app.start()

        # Nothing chosen yet: a box asks for a file and nothing else happens.
        press_start(desktop, app)
        box = app.message_box()
        check_equal(box.control(0xFFFF).text, "Please specify a .ksm file to convert.", "box text")
        desktop.post(box.hwnd, 0x0111, IDOK, 0)
        desktop.wait_window("ksmConverter", gone=True)
        window = app.window()
        check_equal(window.control(IDC_LOG).text, "", "log after the refusal")

        # Chosen through the open-file dialog; the folder name has a space, the file name
        # a character outside ASCII, and the program lies on another drive than the one
        # the interpreter starts on.
        choose_file(desktop, app, source_win)
        window = app.window()
        target_win = source_win[:-3] + "mp4"
        check_equal(window.control(IDC_SOURCE_PATH).text, source_win, "path box")
        check_equal(window.control(IDC_CONVERTED).text, "", "converted line before the start")

        press_start(desktop, app)
        calls = app.wait_calls(lambda lines: "done" in lines)
        check_equal(calls, ["run", guikit.windows_path(app.folder), "[%s]" % source_win,
                            "[%s]" % target_win, "source-found", "done"], "what qm.bat received")
        log = app.wait_log(lambda text: "qm-end" in text)
        check(log.startswith(LOG_HEADER), "log starts with the header: %r" % log[:60])
        # The interpreter may start in any folder (the open-file dialog moves the process's
        # current folder as it likes); it ends up in the program's, on drive Z:.
        prompt = guikit.windows_path(app.folder).rstrip("\\") + ">"
        check(prompt in log, "the interpreter changed to the program folder %r: %r" % (prompt, log))
        check(DEAD_READER not in log, "no dead reader line")
        window = app.window()
        check_equal(window.control(IDC_CONVERTED).text, "Converted File: " + target_win, "converted line")
        check(window.control(IDC_START).enabled, "Start enabled again")

        shot = args.shot or os.path.join(os.path.dirname(desktop.bin_dir), "ksmConverter-window.png")
        desktop.screenshot(shot, window.rect)

        # Cancelling the dialog keeps the choice and both lines.
        desktop.click_control(window, IDC_BROWSE)
        desktop.wait_open_dialog()
        desktop.key("Escape")
        desktop.wait_window("Open", gone=True)
        after = app.window()
        check_equal(after.control(IDC_SOURCE_PATH).text, source_win, "path after cancel")
        check_equal(after.control(IDC_CONVERTED).text, "Converted File: " + target_win, "converted after cancel")
        check_equal(after.control(IDC_LOG).text, window.control(IDC_LOG).text, "log after cancel")

        # Any file is accepted ("All Files"); a new choice clears the converted line.
        notes = make_file(app.folder, "notes.txt")
        choose_file(desktop, app, notes)
        window = app.window()
        check_equal(window.control(IDC_SOURCE_PATH).text, guikit.windows_path(notes), "path of the .txt")
        check_equal(window.control(IDC_CONVERTED).text, "", "converted line cleared by a new choice")

        # An .mp4 source would be overwritten by its own conversion: refused, nothing runs.
        video = make_file(app.folder, "clip.mp4")
        choose_file(desktop, app, video)
        log_before = app.window().control(IDC_LOG).text
        press_start(desktop, app)
        box = app.message_box()
        check(box.control(0xFFFF).text.startswith("The file is already an MP4 file"),
              "box text: %r" % box.control(0xFFFF).text)
        desktop.post(box.hwnd, 0x0111, IDOK, 0)
        desktop.wait_window("ksmConverter", gone=True)
        time.sleep(0.5)
        window = app.window()
        check_equal(window.control(IDC_LOG).text, log_before, "log after the refusal")
        check_equal(window.control(IDC_CONVERTED).text, "", "converted line after the refusal")
        check(window.control(IDC_START).enabled, "Start enabled after the refusal")
        check_equal(app.calls().count("run"), 1, "qm.bat runs")

        desktop.click_control(window, IDOK)
        app.wait_end(10)
        check_equal(app.process.returncode, 0, "exit code")
    finally:
        app.cleanup()
        shutil.rmtree(drive_c, ignore_errors=True)


def double_press(desktop, args):
    app = guikit.Converter(desktop, sleep_ms=1500)
    try:
        source = make_file(app.folder, "twice.ksm")
        app.start()
        choose_file(desktop, app, source)
        window = app.window()
        desktop.double_click(*window.control(IDC_START).center())
        app.wait_calls(lambda lines: lines.count("done") == 2)
        log = app.wait_log(lambda text: "qm-end" in text)
        check_equal(log.count("Start Converting the file."), 1, "header lines in the log")
        check(DEAD_READER not in log, "no dead reader line: %r" % log)
        window = app.window()
        check(window.control(IDC_START).enabled, "Start enabled")
        check_equal(window.control(IDC_CONVERTED).text,
                    "Converted File: " + guikit.windows_path(source)[:-3] + "mp4", "converted line")
        desktop.post(window.hwnd, WM_CLOSE)
        app.wait_end(10)
    finally:
        app.cleanup()


def closing_mid_conversion(desktop, args):
    app = guikit.Converter(desktop, sleep_ms=6000)
    try:
        source = make_file(app.folder, "long.ksm")
        app.start()
        choose_file(desktop, app, source)
        press_start(desktop, app)
        log = app.wait_log(lambda text: "qm-begin" in text)
        check(DEAD_READER not in log, "no dead reader line")
        window = app.window()
        start = time.time()
        desktop.click_close_box(window)
        app.wait_end(5)
        took = time.time() - start
        print("    the program ended %.2f s after the close box" % took)
        check(took <= 1.0, "ended within a second (took %.2f s)" % took)
        check_equal(app.process.returncode, 0, "exit code")
        # The stand-in still finishes on its own; wait for it so nothing outlives the case.
        app.wait_calls(lambda lines: "done" in lines, timeout=20)
    finally:
        app.cleanup()


def every_way_out(desktop, args):
    def done(app, window):
        desktop.click_control(window, IDOK)

    def escape(app, window):
        # A click on the window's empty left margin makes it the active window first.
        left, top, right, bottom = window.rect
        desktop.click(left + 10, (top + bottom) // 2)
        desktop.key("Escape")

    def enter_in_path_box(app, window):
        desktop.click_control(window, IDC_SOURCE_PATH)
        desktop.key("Return")

    def close_box(app, window):
        desktop.click_close_box(window)

    def wm_close(app, window):
        desktop.post(window.hwnd, WM_CLOSE)

    for name, act in [("Done", done), ("Esc", escape), ("Enter in the path box", enter_in_path_box),
                      ("close box", close_box), ("WM_CLOSE", wm_close)]:
        app = guikit.Converter(desktop)
        try:
            window = app.start()
            act(app, window)
            try:
                app.wait_end(5)
            except AssertionError:
                raise AssertionError("%s did not end the program" % name)
            check_equal(app.process.returncode, 0, "exit code after %s" % name)
        finally:
            app.cleanup()


def names_the_code_page_cannot_hold(desktop, args):
    """The ANSI code page (1252 here) lacks \u0141 and \u017a: the narrow name of
    "\u0141\u00f3d\u017a nagranie.ksm" is its look-alike "L\u00f3dz nagranie.ksm", another
    recording in the same folder. Such a choice, and one of characters with no look-alike
    at all, is refused with the real name and the characters missing; no earlier choice
    stays to be converted, nothing runs, the neighbour is untouched."""
    app = guikit.Converter(desktop)
    folder = tempfile.mkdtemp(prefix="ksm-gui-names-", dir=guikit.drive_c())
    folder_win = "C:\\" + os.path.basename(folder)
    try:
        earlier = make_file(folder, "caf\u00e9.ksm")
        chosen = make_file(folder, "\u0141\u00f3d\u017a nagranie.ksm")
        neighbour = make_file(folder, "L\u00f3dz nagranie.ksm")
        far = make_file(folder, "\u4f1a\u8b70 \u0436.ksm")
        app.start()
        choose_file(desktop, app, folder_win + "\\" + os.path.basename(earlier))
        for path, lacking in ((chosen, "\u0141 \u017a"), (far, "\u4f1a \u8b70 \u0436")):
            path_win = folder_win + "\\" + os.path.basename(path)
            choose_file(desktop, app, path_win)
            box = app.message_box()
            text = box.control(0xFFFF).text
            check('"%s"' % path_win in text and ("(1252) does not hold: %s\r\n" % lacking) in text,
                  "box text: %r" % text)
            desktop.post(box.hwnd, 0x0111, IDOK, 0)
            desktop.wait_window("ksmConverter", gone=True)
            window = app.window()
            check_equal(window.control(IDC_SOURCE_PATH).text, "", "path box after the refusal")
            check_equal(window.control(IDC_CONVERTED).text, "", "converted line after the refusal")

        press_start(desktop, app)
        box = app.message_box()
        check_equal(box.control(0xFFFF).text, "Please specify a .ksm file to convert.", "box text")
        desktop.post(box.hwnd, 0x0111, IDOK, 0)
        desktop.wait_window("ksmConverter", gone=True)
        check_equal(app.calls(), [], "qm.bat runs")
        check_equal(sorted(os.listdir(folder)), sorted(os.path.basename(p) for p in (earlier, chosen, neighbour, far)),
                    "files in the folder")
        with open(neighbour, "rb") as f:
            check_equal(f.read(), b"KSM stand-in content", "the neighbour")
        desktop.click_control(app.window(), IDOK)
        app.wait_end(10)
    finally:
        app.cleanup()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    args = guikit.parse_args()
    desktop = guikit.Desktop(args.bin_dir)
    cases = guikit.Cases(args.cases)
    cases.run("conversion_and_browsing", conversion_and_browsing, desktop, args)
    cases.run("names_the_code_page_cannot_hold", names_the_code_page_cannot_hold, desktop, args)
    cases.run("double_press", double_press, desktop, args)
    cases.run("closing_mid_conversion", closing_mid_conversion, desktop, args)
    cases.run("every_way_out", every_way_out, desktop, args)
    cases.finish()


if __name__ == "__main__":
    main()
