// The converter window in this process: the dialog runs modally on the main thread while
// a driver thread works it with messages, as the window manager and the user would.

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "CConversionRequest.h"
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
    // An .mp4 source would be its own target; the interpreter would replace a defined
    // variable's name in the path.
    SetEnvironmentVariableA("KSMTEST_DLG", "x");
    const Refusal refusals[] = {
        {"Z:\\videos\\clip.MP4",
         "The file is already an MP4 file: converting it would overwrite it. Please choose a "
         "different source file."},
        {"Z:\\videos\\%KSMTEST_DLG%.ksm",
         "The command interpreter would replace %KSMTEST_DLG% in the file's path with the value "
         "of an environment variable, and the conversion would use another file\r\n\r\n"
         "\"Z:\\videos\\%KSMTEST_DLG%.ksm\"\r\n\r\nRenaming the file (or its folder) fixes it."},
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

namespace {

WNDPROC g_logProc = NULL;
HWND g_startButton = NULL;
int g_logResetsWithStartDisabled = 0;
int g_logResets = 0;
LRESULT CALLBACK WatchLogReset(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT && lParam != 0 &&
        lstrcmpA(reinterpret_cast<const char*>(lParam), "Start Converting the file.\r\n \r\n") == 0) {
        ++g_logResets;
        if (!IsWindowEnabled(g_startButton))
            ++g_logResetsWithStartDisabled;
    }
    return CallWindowProcA(g_logProc, hWnd, message, wParam, lParam);
}

} // namespace

TEST_CASE(start_is_disabled_while_the_request_is_made)
{
    // No interpreter can start here, so the request runs through without a conversion;
    // the log box sees its reset while the button is off, and the button is on again after.
    CRedirector::s_interpreterPathOverride = "C:\\no-such-folder-ksm\\cmd.exe";
    TestDlg dlg;
    dlg.SetSourcePath("Z:\\videos\\clip.ksm");
    std::string converted, log;
    bool enabledAfter = false;
    g_logResets = g_logResetsWithStartDisabled = 0;
    RunDialog(dlg, [&](HWND hWnd) {
        g_startButton = GetDlgItem(hWnd, IDC_START);
        HWND logBox = GetDlgItem(hWnd, IDC_LOG);
        g_logProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(logBox, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchLogReset)));
        SendMessageA(hWnd, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                     reinterpret_cast<LPARAM>(g_startButton));
        SetWindowLongPtrA(logBox, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_logProc));
        converted = ItemText(hWnd, IDC_CONVERTED);
        log = ItemText(hWnd, IDC_LOG);
        enabledAfter = IsWindowEnabled(g_startButton) != FALSE;
    });
    CRedirector::s_interpreterPathOverride = NULL;
    CHECK_EQ(g_logResets, 1);
    CHECK_EQ(g_logResetsWithStartDisabled, 1);
    CHECK(enabledAfter);
    CHECK_EQ(converted, "Converted File: Z:\\videos\\clip.mp4");
    CHECK(log.find("Error message: Redirect console error: ") != std::string::npos);
}

namespace {

BOOL CALLBACK FindOpenDialog(HWND hWnd, LPARAM param)
{
    char className[32] = {0};
    GetClassNameA(hWnd, className, sizeof className);
    if (lstrcmpA(className, "#32770") == 0 && IsWindowVisible(hWnd) && GetDlgItem(hWnd, 0x470) != NULL) {
        *reinterpret_cast<HWND*>(param) = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForOpenDialog(DWORD uiThread, DWORD timeoutMs = 15000)
{
    const DWORD start = GetTickCount();
    do {
        HWND found = NULL;
        EnumThreadWindows(uiThread, FindOpenDialog, reinterpret_cast<LPARAM>(&found));
        if (found != NULL)
            return found;
        Sleep(20);
    } while (GetTickCount() - start < timeoutMs);
    return NULL;
}

// The open-file dialog's file name box: a combo box's edit in the Explorer style.
HWND FileNameBox(HWND openDialog)
{
    HWND combo = GetDlgItem(openDialog, 0x47C);
    if (combo != NULL) {
        HWND edit = FindWindowExA(combo, NULL, "Edit", NULL);
        return edit != NULL ? edit : combo;
    }
    return GetDlgItem(openDialog, 0x480);
}

// Types a name into the box and presses Open; true when the dialog went away.
bool OpenByName(HWND openDialog, const std::string& name)
{
    SetWindowTextA(FileNameBox(openDialog), name.c_str());
    PostMessageA(openDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    const DWORD start = GetTickCount();
    while (IsWindow(openDialog) && GetTickCount() - start < 3000)
        Sleep(20);
    return !IsWindow(openDialog);
}

} // namespace

TEST_CASE(browse_offers_ksm_then_all_files_and_takes_only_existing_files)
{
    char tempDir[MAX_PATH];
    GetTempPathA(MAX_PATH, tempDir);
    const std::string folder = std::string(tempDir) + "ksm-browse-test";
    CreateDirectoryA(folder.c_str(), NULL);
    const std::string probe = folder + "\\probe.ksm";
    CloseHandle(CreateFileA(probe.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));

    TestDlg dlg;
    const DWORD uiThread = GetCurrentThreadId();
    std::string types[3], nameBox, missingBoxText, pathBox;
    int typeCount = 0;
    bool readOnlyBoxShown = true, missingRefused = false, missingBoxAppeared = false, opened = false;
    RunDialog(dlg, [&](HWND hWnd) {
        PostMessageA(hWnd, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(hWnd, IDC_BROWSE)));
        HWND open = WaitForOpenDialog(uiThread);
        if (open == NULL)
            return;
        HWND typeBox = GetDlgItem(open, 0x470);
        typeCount = static_cast<int>(SendMessageA(typeBox, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < typeCount && i < 3; ++i) {
            char item[128] = {0};
            SendMessageA(typeBox, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
            types[i] = item;
        }
        nameBox = TextOf(FileNameBox(open));
        HWND readOnly = GetDlgItem(open, 0x410);
        readOnlyBoxShown = readOnly != NULL && IsWindowVisible(readOnly);

        // A file that does not exist is refused with a message, and the dialog stays.
        missingRefused = !OpenByName(open, folder + "\\missing.ksm");
        BoxSearch search = {open, NULL};
        const DWORD start = GetTickCount();
        while (search.found == NULL && GetTickCount() - start < 5000) {
            EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&search));
            Sleep(20);
        }
        missingBoxAppeared = search.found != NULL;
        if (search.found != NULL) {
            std::string caption;
            ReadAndCloseBox(search.found, missingBoxText, caption);
        }
        // A name without extension gets ".ksm".
        // Wine's dialog checks a typed name before it adds the default extension, so
        // that extension cannot be seen here; an existing file is taken.
        opened = OpenByName(open, probe);
        Sleep(200);
        pathBox = ItemText(hWnd, IDC_SOURCE_PATH);
    });
    DeleteFileA(probe.c_str());
    RemoveDirectoryA(folder.c_str());
    CHECK_EQ(typeCount, 2);
    CHECK_EQ(types[0], "Ksm Files (*.ksm)");
    CHECK_EQ(types[1], "All Files (*.*)");
    CHECK_EQ(nameBox, "*.ksm");
    CHECK(!readOnlyBoxShown);
    CHECK(missingRefused);
    CHECK(missingBoxAppeared);
    CHECK(opened);
    CHECK_EQ(pathBox, probe);
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

// --- recordings and folders dropped on the window, as Explorer drops them ---

namespace {

// DROPFILES, then the wide names, each ended by a NUL, and one more NUL.
HDROP MakeDrop(const std::vector<std::wstring>& paths)
{
    std::wstring names;
    for (const std::wstring& path : paths)
        names += path + L'\0';
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + (names.size() + 1) * sizeof(wchar_t));
    DROPFILES* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    CopyMemory(drop + 1, names.data(), names.size() * sizeof(wchar_t));
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

bool WaitForLog(HWND dialog, const std::string& wanted)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(100))
        if (ItemText(dialog, IDC_LOG).find(wanted) != std::string::npos)
            return true;
    return false;
}

// Every file under `folder`, relative to it.
void ListFiles(const std::wstring& folder, const std::wstring& prefix, std::vector<std::wstring>& files)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(prefix + name);
        else if (name != L"." && name != L"..")
            ListFiles(folder + L"\\" + name, prefix + name + L"\\", files);
    }
    FindClose(search);
}

void WriteText(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, "not a recording\r\n", 17, &written, NULL);
    CloseHandle(file);
}

} // namespace

TEST_CASE(dropped_folder_and_files_run_through_the_console_one_after_another)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"ksm-drop-test";
    CreateDirectoryW(root.c_str(), NULL);
    CreateDirectoryW((root + L"\\sub").c_str(), NULL);
    WriteText(root + L"\\sub\\x.ksm");

    // The real engine when the build put it beside this test; else an interpreter that
    // cannot start, which still shows the drop reached the console.
    const CString here = CConversionRequest::CurrentProgramFolder();
    const bool engine = GetFileAttributesA(here + "qm.bat") != INVALID_FILE_ATTRIBUTES &&
                        GetFileAttributesA(here + "qmconvert.exe") != INVALID_FILE_ATTRIBUTES;
    if (!engine)
        CRedirector::s_interpreterPathOverride = "C:\\no-such-folder-ksm\\cmd.exe";
    const std::string folderDone = engine ? "Folder done: 0 converted, 0 already up to date, 1 failed"
                                          : "Redirect console error";

    TestDlg dlg;
    bool accepts = false, folderRan = false, bothRan = false;
    std::string firstLog, firstBox, secondLog, secondBox;
    RunDialog(dlg, [&](HWND hWnd) {
        accepts = (GetWindowLongA(hWnd, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0;
        SendMessageA(hWnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({root})), 0);
        folderRan = WaitForLog(hWnd, folderDone);
        firstLog = ItemText(hWnd, IDC_LOG);
        firstBox = ItemText(hWnd, IDC_CONVERTED);
        // Several items: one chained line, the file converted after the folder.
        WriteText(root + L"\\y.ksm");
        SendMessageA(hWnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({root + L"\\sub", root + L"\\y.ksm"})), 0);
        bothRan = WaitForLog(hWnd, engine ? "y.mp4" : folderDone);
        Sleep(engine ? 2000 : 0);   // the engine's last lines
        secondLog = ItemText(hWnd, IDC_LOG);
        secondBox = ItemText(hWnd, IDC_CONVERTED);
    });
    CRedirector::s_interpreterPathOverride = NULL;
    std::vector<std::wstring> left;
    ListFiles(root, L"", left);
    DeleteFileW((root + L"\\sub\\x.ksm").c_str());
    DeleteFileW((root + L"\\y.ksm").c_str());
    RemoveDirectoryW((root + L"\\sub").c_str());
    RemoveDirectoryW(root.c_str());

    std::printf("    engine beside the test: %s\n", engine ? "yes" : "no");
    CHECK(accepts);
    CHECK(folderRan && bothRan);
    CHECK_EQ(firstLog.rfind("Start Converting the dropped recordings.\r\n \r\n", 0), 0u);
    CHECK_EQ(secondLog.rfind("Start Converting the dropped recordings.\r\n \r\n", 0), 0u);
    CHECK(firstBox.find("ksm-drop-test") != std::string::npos);
    CHECK(secondBox.find("2 dropped items") != std::string::npos);
    const size_t done = secondLog.find(folderDone);
    CHECK(done != std::string::npos && secondLog.find(folderDone, done + 1) == std::string::npos);
    if (engine) {
        CHECK(secondLog.find("Conversion failed", secondLog.find("y.ksm", done)) != std::string::npos);
        CHECK(left.size() == 2 && left[0] == L"sub\\x.ksm" && left[1] == L"y.ksm");
    }
}

TEST_CASE(refused_drops_say_why_and_leave_the_log_alone)
{
    SetEnvironmentVariableA("KSMTEST_DLG", "x");
    const std::vector<std::wstring> tooMany(40, L"Z:\\videos\\" + std::wstring(200, L'v') + L".ksm");
    const std::pair<std::vector<std::wstring>, std::string> refusals[] = {
        {{L"Z:\\videos\\a.ksm", L"Z:\\videos\\%KSMTEST_DLG%.ksm"}, "would replace %KSMTEST_DLG% in the file's path"},
        {tooMany, "Dropping fewer items at once, or dropping their folder, fixes it."},
        {{L"Z:\\videos\\\x4f1a\x8b70.ksm"}, "This program cannot use the chosen file"},   // not in the code page
    };
    for (const auto& refused : refusals) {
        TestDlg dlg;
        std::string text, caption, log, converted;
        bool released = false;
        RunDialog(dlg, [&](HWND hWnd) {
            SetWindowTextA(GetDlgItem(hWnd, IDC_LOG), "earlier log");
            SetWindowTextA(GetDlgItem(hWnd, IDC_CONVERTED), "unchanged");
            HDROP drop = MakeDrop(refused.first);
            PostMessageA(hWnd, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
            HWND box = WaitForMessageBox(hWnd);
            if (box == NULL)
                return;
            released = GlobalFlags(drop) == GMEM_INVALID_HANDLE;
            ReadAndCloseBox(box, text, caption);
            Sleep(300);   // anything started would have written to the log by now
            log = ItemText(hWnd, IDC_LOG);
            converted = ItemText(hWnd, IDC_CONVERTED);
        });
        if (!CHECK(text.find(refused.second) != std::string::npos))
            std::printf("    box: %s\n", text.c_str());
        CHECK(released);
        CHECK_EQ(log, "earlier log");
        CHECK_EQ(converted, "unchanged");
    }
    SetEnvironmentVariableA("KSMTEST_DLG", NULL);
}
