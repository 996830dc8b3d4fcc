// Windows-side helper of the window tests: lists windows and their controls, posts
// messages, waits. Prints UTF-8, one record a line, so the Python side can parse it.
//
//   WindowProbe windows [TITLE]   visible top-level windows (all, or those titled TITLE)
//                                 and their controls
//   WindowProbe post HWND MSG WPARAM LPARAM
//   WindowProbe retype HWND UNIT...  empties an edit control, then posts WM_CHAR for each
//                                 UTF-16 unit (numbers: no command-line code page stands
//                                 in between); all posted, so nothing overtakes another
//   WindowProbe sleep MS          (a stand-in script's slow step)
//   WindowProbe watch HWND MS NEEDLE...
//                                 prints "ready", then "found" as soon as the control's
//                                 text holds one of the needles after having held none
//                                 (looked at every 10 ms; "timeout" after MS): the
//                                 benchmarks' stopwatch

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), NULL,
                                     0, NULL, NULL);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], length,
                        NULL, NULL);
    return out;
}

// Control characters and the backslash escaped, so a record stays on one line.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 32) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

std::wstring TextOf(HWND hWnd)
{
    // WM_GETTEXT reaches into other processes' edit controls too.
    LRESULT length = SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    LRESULT got = SendMessageW(hWnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(&buffer[0]));
    return std::wstring(&buffer[0], static_cast<size_t>(got));
}

std::string ClassOf(HWND hWnd)
{
    wchar_t name[128] = {0};
    GetClassNameW(hWnd, name, 128);
    return Utf8(name);
}

void PrintWindow(const char* kind, HWND hWnd)
{
    RECT r;
    GetWindowRect(hWnd, &r);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    // The control holding the keyboard focus on the window's thread: typing goes there.
    GUITHREADINFO gui;
    gui.cbSize = sizeof(gui);
    const HWND focus =
        GetGUIThreadInfo(GetWindowThreadProcessId(hWnd, NULL), &gui) ? gui.hwndFocus : NULL;
    std::printf("%s hwnd=%lu id=%d class=%s enabled=%d visible=%d iconic=%d rect=%ld,%ld,%ld,%ld "
                "owner=%lu pid=%lu focus=%lu text=%s\n",
                kind, static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(hWnd)),
                GetDlgCtrlID(hWnd), ClassOf(hWnd).c_str(), IsWindowEnabled(hWnd) ? 1 : 0,
                IsWindowVisible(hWnd) ? 1 : 0, IsIconic(hWnd) ? 1 : 0, r.left, r.top, r.right,
                r.bottom,
                static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(GetWindow(hWnd, GW_OWNER))),
                pid, static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(focus)),
                Escaped(Utf8(TextOf(hWnd))).c_str());
}

BOOL CALLBACK PrintChild(HWND hWnd, LPARAM)
{
    PrintWindow("control", hWnd);
    return TRUE;
}

struct Filter
{
    const wchar_t* title;
};

BOOL CALLBACK PrintTopLevel(HWND hWnd, LPARAM param)
{
    const Filter* filter = reinterpret_cast<const Filter*>(param);
    if (!IsWindowVisible(hWnd))
        return TRUE;
    if (filter->title != NULL) {
        wchar_t title[512] = {0};
        GetWindowTextW(hWnd, title, 512);
        if (lstrcmpW(title, filter->title) != 0)
            return TRUE;
    }
    PrintWindow("window", hWnd);
    EnumChildWindows(hWnd, PrintChild, 0);
    return TRUE;
}

ULONG_PTR Number(const wchar_t* text)
{
    return static_cast<ULONG_PTR>(wcstoul(text, NULL, 0));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && lstrcmpW(argv[1], L"windows") == 0) {
        Filter filter = {argc >= 3 ? argv[2] : NULL};
        EnumWindows(PrintTopLevel, reinterpret_cast<LPARAM>(&filter));
        std::printf("end\n");
        return 0;
    }
    if (argc == 6 && lstrcmpW(argv[1], L"post") == 0) {
        HWND hWnd = reinterpret_cast<HWND>(Number(argv[2]));
        BOOL ok = PostMessageW(hWnd, static_cast<UINT>(Number(argv[3])), Number(argv[4]),
                               static_cast<LPARAM>(Number(argv[5])));
        return ok ? 0 : 1;
    }
    if (argc >= 4 && lstrcmpW(argv[1], L"retype") == 0) {
        HWND hWnd = reinterpret_cast<HWND>(Number(argv[2]));
        if (!PostMessageW(hWnd, EM_SETSEL, 0, -1) || !PostMessageW(hWnd, WM_CLEAR, 0, 0))
            return 1;
        for (int i = 3; i < argc; ++i) {
            if (!PostMessageW(hWnd, WM_CHAR, Number(argv[i]), 1))
                return 1;
        }
        return 0;
    }
    if (argc >= 5 && lstrcmpW(argv[1], L"watch") == 0) {
        HWND hWnd = reinterpret_cast<HWND>(Number(argv[2]));
        const DWORD limit = static_cast<DWORD>(Number(argv[3]));
        std::printf("ready\n");
        std::fflush(stdout);
        const DWORD start = GetTickCount();
        LRESULT seenLength = -1;
        bool armed = false;   // a text without the needles was seen (the log was reset)
        while (GetTickCount() - start < limit) {
            // Only a text that changed is fetched: looks stay cheap for the window.
            const LRESULT length = SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
            if (length != seenLength) {
                seenLength = length;
                const std::wstring text = TextOf(hWnd);
                bool holds = false;
                for (int i = 4; i < argc; ++i)
                    holds = holds || text.find(argv[i]) != std::wstring::npos;
                if (holds && armed) {
                    std::printf("found\n");
                    std::fflush(stdout);
                    return 0;
                }
                armed = armed || !holds;
            }
            Sleep(10);
        }
        std::printf("timeout\n");
        return 1;
    }
    if (argc == 3 && lstrcmpW(argv[1], L"sleep") == 0) {
        Sleep(static_cast<DWORD>(Number(argv[2])));
        return 0;
    }
    std::fprintf(stderr, "usage: WindowProbe windows [TITLE] | post HWND MSG WPARAM LPARAM | retype HWND UNIT... | sleep MS\n");
    return 2;
}
