// The converter window in this process: the dialog runs modally on the main thread while
// a driver thread works it with messages, as the window manager and the user would.

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "CksmConverterDlg.h"
#include "TestKit.h"
#include "resource.h"

namespace {

// Counts the help commands that reach the application.
class TestApp : public CWinApp
{
public:
    std::atomic<int> helpRequests{0};
    void OnHelpCounted() { ++helpRequests; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestApp, CWinApp)
    ON_COMMAND(ID_HELP, &TestApp::OnHelpCounted)
END_MESSAGE_MAP()

TestApp g_app;

// The converter window with its state in reach of the checks.
class TestDlg : public CksmConverterDlg
{
public:
    std::atomic<HWND> shown{NULL};

    // Sent by a driver thread: runs ProbePaint on the window's own thread.
    static const UINT kProbePaintCommand = 0x7F01;
    struct PaintProbe
    {
        bool iconicWhenMinimised;
        int iconEraseWhenMinimised;
        bool iconEraseHadDc;
        int iconEraseWhenRestored;
        COLORREF backgroundBeforePaint;
        COLORREF backgroundAfterPaint;
    };
    PaintProbe paintProbe = {};

    void SetSourcePath(const char* path) { m_strPath = path; }
    HICON AppIcon() const { return m_hAppIcon; }
    bool EverythingUnbound() const
    {
        return m_hWnd == NULL && m_editLog.m_hWnd == NULL && m_editPath.m_hWnd == NULL &&
               m_editConverted.m_hWnd == NULL && m_btnStart.m_hWnd == NULL;
    }

protected:
    BOOL OnInitDialog() override
    {
        BOOL result = CksmConverterDlg::OnInitDialog();
        shown = m_hWnd;
        return result;
    }

    void ProbePaint();
    DECLARE_MESSAGE_MAP()

private:
    static WNDPROC s_dialogProc;
    static int s_iconErases;
    static bool s_iconEraseHadDc;
    static LRESULT CALLBACK CountingProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_ICONERASEBKGND) {
            ++s_iconErases;
            s_iconEraseHadDc = wParam != 0;
        }
        return CallWindowProcA(s_dialogProc, hWnd, message, wParam, lParam);
    }
};

WNDPROC TestDlg::s_dialogProc = NULL;
int TestDlg::s_iconErases = 0;
bool TestDlg::s_iconEraseHadDc = false;

BEGIN_MESSAGE_MAP(TestDlg, CksmConverterDlg)
    ON_COMMAND(TestDlg::kProbePaintCommand, &TestDlg::ProbePaint)
END_MESSAGE_MAP()

void TestDlg::ProbePaint()
{
    s_dialogProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountingProc)));

    // Minimised, and painted before anything can restore it.
    s_iconErases = 0;
    ::ShowWindow(m_hWnd, SW_MINIMIZE);
    paintProbe.iconicWhenMinimised = ::IsIconic(m_hWnd) != FALSE;
    ::SendMessageA(m_hWnd, WM_PAINT, 0, 0);
    paintProbe.iconEraseWhenMinimised = s_iconErases;
    paintProbe.iconEraseHadDc = s_iconEraseHadDc;

    // Restored: paint over the background, then let the window repaint itself.
    ::ShowWindow(m_hWnd, SW_RESTORE);
    ::UpdateWindow(m_hWnd);
    s_iconErases = 0;
    HDC dc = ::GetDC(m_hWnd);
    RECT stain = {1, 1, 9, 9};   // the top-left corner of the client area holds no control
    HBRUSH red = ::CreateSolidBrush(RGB(255, 0, 0));
    ::FillRect(dc, &stain, red);
    ::DeleteObject(red);
    paintProbe.backgroundBeforePaint = ::GetPixel(dc, 4, 4);
    ::RedrawWindow(m_hWnd, &stain, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    paintProbe.backgroundAfterPaint = ::GetPixel(dc, 4, 4);
    ::ReleaseDC(m_hWnd, dc);
    paintProbe.iconEraseWhenRestored = s_iconErases;

    SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(s_dialogProc));
}

std::string TextOf(HWND hWnd)
{
    int length = GetWindowTextLengthA(hWnd);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    int got = GetWindowTextA(hWnd, &text[0], length + 1);
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

std::string ItemText(HWND dialog, int id)
{
    return TextOf(GetDlgItem(dialog, id));
}

BOOL CALLBACK CloseWindowOfThread(HWND hWnd, LPARAM)
{
    PostMessageA(hWnd, WM_CLOSE, 0, 0);
    return TRUE;
}

// Runs the dialog modally as the main window, as the application does; `drive` gets its
// window on another thread. Whatever the driver leaves open (a message box too) is
// closed, so a failed case cannot hang the run.
INT_PTR RunDialog(TestDlg& dlg, const std::function<void(HWND)>& drive)
{
    g_app.m_pMainWnd = &dlg;
    const DWORD uiThread = GetCurrentThreadId();
    std::thread driver([&dlg, &drive, uiThread] {
        const DWORD start = GetTickCount();
        while (dlg.shown == NULL && GetTickCount() - start < 15000)
            Sleep(10);
        HWND hWnd = dlg.shown;
        if (hWnd == NULL)
            return;
        drive(hWnd);
        while (IsWindow(hWnd)) {
            EnumThreadWindows(uiThread, CloseWindowOfThread, 0);
            Sleep(200);
        }
    });
    INT_PTR result = dlg.DoModal();
    driver.join();
    g_app.m_pMainWnd = NULL;
    return result;
}

struct BoxSearch
{
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedBox(HWND hWnd, LPARAM param)
{
    BoxSearch* search = reinterpret_cast<BoxSearch*>(param);
    char className[32] = {0};
    GetClassNameA(hWnd, className, sizeof className);
    if (lstrcmpA(className, "#32770") == 0 && GetWindow(hWnd, GW_OWNER) == search->owner &&
        IsWindowVisible(hWnd)) {
        search->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForMessageBox(HWND owner, DWORD timeoutMs = 10000)
{
    const DWORD start = GetTickCount();
    do {
        BoxSearch search = {owner, NULL};
        EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&search));
        if (search.found != NULL)
            return search.found;
        Sleep(20);
    } while (GetTickCount() - start < timeoutMs);
    return NULL;
}

// Text and caption of the box, then OK.
void ReadAndCloseBox(HWND box, std::string& text, std::string& caption)
{
    text = ItemText(box, 0xFFFF);
    caption = TextOf(box);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    const DWORD start = GetTickCount();
    while (IsWindow(box) && GetTickCount() - start < 5000)
        Sleep(10);
}

void ClickStart(HWND dialog)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_START)));
}

} // namespace

TEST_CASE(window_carries_the_icon_and_keeps_a_long_log)
{
    TestDlg dlg;
    REQUIRE(dlg.AppIcon() != NULL);
    HICON big = NULL, small = NULL, dragIcon = NULL;
    UINT limit = 0;
    std::string appended, readBack;
    bool enabledOnStart = false;
    RunDialog(dlg, [&](HWND hWnd) {
        big = reinterpret_cast<HICON>(SendMessageA(hWnd, WM_GETICON, ICON_BIG, 0));
        small = reinterpret_cast<HICON>(SendMessageA(hWnd, WM_GETICON, ICON_SMALL, 0));
        dragIcon = reinterpret_cast<HICON>(SendMessageA(hWnd, WM_QUERYDRAGICON, 0, 0));
        enabledOnStart = IsWindowEnabled(GetDlgItem(hWnd, IDC_START)) != FALSE;

        HWND log = GetDlgItem(hWnd, IDC_LOG);
        limit = static_cast<UINT>(SendMessageA(log, EM_GETLIMITTEXT, 0, 0));
        // 100 000 characters, twice, in lines, as a conversion log would grow.
        std::string line(98, 'x');
        line += "\r\n";
        std::string chunk;
        for (int i = 0; i < 1000; ++i)
            chunk += line;
        for (int round = 0; round < 2; ++round) {
            int end = GetWindowTextLengthA(log);
            SendMessageA(log, EM_SETSEL, end, end);
            SendMessageA(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(chunk.c_str()));
            appended += chunk;
        }
        readBack = TextOf(log);
    });
    CHECK(big == dlg.AppIcon());
    CHECK(small == dlg.AppIcon());
    CHECK(dragIcon == dlg.AppIcon());
    CHECK(enabledOnStart);
    CHECK(limit >= 0x7FFFFFFEu);
    CHECK_EQ(readBack.size(), appended.size());
    CHECK(readBack == appended);
}

TEST_CASE(start_without_a_file_asks_for_one_and_changes_nothing)
{
    TestDlg dlg;
    std::string text, caption, log, converted;
    bool ownedByWindow = false, windowDisabledMeanwhile = false, startEnabled = false;
    RunDialog(dlg, [&](HWND hWnd) {
        ClickStart(hWnd);
        HWND box = WaitForMessageBox(hWnd);
        if (box == NULL)
            return;
        ownedByWindow = GetWindow(box, GW_OWNER) == hWnd;
        windowDisabledMeanwhile = !IsWindowEnabled(hWnd);
        ReadAndCloseBox(box, text, caption);
        log = ItemText(hWnd, IDC_LOG);
        converted = ItemText(hWnd, IDC_CONVERTED);
        startEnabled = IsWindowEnabled(GetDlgItem(hWnd, IDC_START)) != FALSE;
    });
    CHECK_EQ(text, "Please specify a .ksm file to convert.");
    CHECK_EQ(caption, std::string(g_app.m_pszAppName));
    CHECK_EQ(caption, "dialog_tests");
    CHECK(ownedByWindow);
    CHECK(windowDisabledMeanwhile);
    CHECK_EQ(log, "");
    CHECK_EQ(converted, "");
    CHECK(startEnabled);
}

TEST_CASE(refused_requests_show_why_and_start_nothing)
{
    struct Refusal
    {
        const char* source;
        std::string expectedText;
    };
    // An .mp4 source would be its own target; the euro sign (ANSI 0x80) has no
    // counterpart in the interpreter's code page 437.
    const Refusal refusals[] = {
        {"Z:\\videos\\clip.MP4",
         "The file is already an MP4 file: converting it would overwrite it. Please choose a "
         "different source file."},
        {"Z:\\videos\\price\x80.ksm",
         "The path contains characters the command interpreter cannot receive: "
         "Z:\\videos\\price\x80.ksm. Please rename the file or move it to a folder with a plain "
         "name."},
    };
    for (const Refusal& refusal : refusals) {
        TestDlg dlg;
        dlg.SetSourcePath(refusal.source);
        std::string text, caption, log = "?", converted = "?";
        bool startEnabled = false;
        RunDialog(dlg, [&](HWND hWnd) {
            SetWindowTextA(GetDlgItem(hWnd, IDC_CONVERTED), "unchanged");
            ClickStart(hWnd);
            HWND box = WaitForMessageBox(hWnd);
            if (box == NULL)
                return;
            ReadAndCloseBox(box, text, caption);
            Sleep(300);   // anything started would have written to the log by now
            log = ItemText(hWnd, IDC_LOG);
            converted = ItemText(hWnd, IDC_CONVERTED);
            startEnabled = IsWindowEnabled(GetDlgItem(hWnd, IDC_START)) != FALSE;
        });
        CHECK_EQ(text, refusal.expectedText);
        CHECK_EQ(caption, "dialog_tests");
        CHECK_EQ(log, "");
        CHECK_EQ(converted, "unchanged");
        CHECK(startEnabled);
    }
}

TEST_CASE(help_command_reaches_the_application)
{
    TestDlg dlg;
    bool stillOpen = false;
    g_app.helpRequests = 0;
    RunDialog(dlg, [&](HWND hWnd) {
        SendMessageA(hWnd, WM_COMMAND, ID_HELP, 0);
        // A control notification with that id is not the command.
        SendMessageA(hWnd, WM_COMMAND, MAKEWPARAM(ID_HELP, EN_CHANGE), reinterpret_cast<LPARAM>(hWnd));
        stillOpen = IsWindow(hWnd) && IsWindowVisible(hWnd);
    });
    CHECK_EQ(static_cast<int>(g_app.helpRequests), 1);
    CHECK(stillOpen);
}

TEST_CASE(every_way_out_ends_the_dialog_and_releases_its_handles)
{
    struct Ending
    {
        const char* name;
        std::function<void(HWND)> act;
        INT_PTR expected;
    };
    const Ending endings[] = {
        {"Done", [](HWND h) { SendMessageA(GetDlgItem(h, IDOK), BM_CLICK, 0, 0); }, IDOK},
        {"Escape", [](HWND h) {
             PostMessageA(GetDlgItem(h, IDC_SOURCE_PATH), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
         }, IDCANCEL},
        {"Enter in the log", [](HWND h) {
             PostMessageA(GetDlgItem(h, IDC_LOG), WM_KEYDOWN, VK_RETURN, 0x001C0001);
         }, IDOK},
        {"close box", [](HWND h) { PostMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0); }, IDCANCEL},
        {"WM_CLOSE", [](HWND h) { PostMessageA(h, WM_CLOSE, 0, 0); }, IDCANCEL},
    };
    for (const Ending& ending : endings) {
        TestDlg dlg;
        bool endedByItself = false;
        INT_PTR result = RunDialog(dlg, [&](HWND hWnd) {
            ending.act(hWnd);
            const DWORD start = GetTickCount();
            while (IsWindow(hWnd) && GetTickCount() - start < 3000)
                Sleep(10);
            endedByItself = !IsWindow(hWnd);
        });
        if (!CHECK(endedByItself) || !CHECK_EQ(result, ending.expected))
            std::printf("    ending: %s\n", ending.name);
        CHECK(dlg.EverythingUnbound());
    }
}

// A minimised window has an empty client area on Windows NT and under Wine (and without
// a window manager Wine restores it at once), so the icon drawing itself cannot be seen
// here. What can: the minimised paint takes the icon path, which erases the icon
// background with the paint DC, and a normal paint is the dialog's own, which redraws
// the background.
TEST_CASE(paint_takes_the_icon_path_only_when_minimised)
{
    TestDlg dlg;
    TestDlg::PaintProbe probe = {};
    RunDialog(dlg, [&](HWND hWnd) {
        SendMessageA(hWnd, WM_COMMAND, TestDlg::kProbePaintCommand, 0);
        probe = dlg.paintProbe;
    });
    CHECK(probe.iconicWhenMinimised);
    CHECK_EQ(probe.iconEraseWhenMinimised, 1);
    CHECK(probe.iconEraseHadDc);
    CHECK_EQ(probe.iconEraseWhenRestored, 0);
    CHECK(probe.backgroundBeforePaint == RGB(255, 0, 0));
    CHECK(probe.backgroundAfterPaint != RGB(255, 0, 0));
    CHECK(probe.backgroundAfterPaint == GetSysColor(COLOR_BTNFACE));
}
