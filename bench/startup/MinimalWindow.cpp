// The yardstick of the start-up benchmark: the least a Win32 program with a window and
// one edit control can be, built with the same toolchain and options as the converter.
// With --common-controls it first registers the common controls as the converter does
// (ICC_WIN95_CLASSES), which tells that step's share of the converter's figures.

#include <windows.h>
#include <commctrl.h>

#include <cstring>

namespace {

LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hWnd, message, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand)
{
    // Loaded only when asked for: merely importing comctl32 loads it, and loading it
    // is most of what registering the controls costs.
    if (std::strstr(commandLine, "--common-controls") != NULL) {
        typedef BOOL(WINAPI * InitFunction)(const INITCOMMONCONTROLSEX*);
        HMODULE comctl32 = LoadLibraryA("comctl32.dll");
        InitFunction init = comctl32 != NULL ? reinterpret_cast<InitFunction>(reinterpret_cast<void*>(
                                                   GetProcAddress(comctl32, "InitCommonControlsEx")))
                                             : NULL;
        INITCOMMONCONTROLSEX initControls;
        initControls.dwSize = sizeof initControls;
        initControls.dwICC = ICC_WIN95_CLASSES;
        if (init == NULL || !init(&initControls))
            return 1;
    }

    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "KsmMinimalWindow";
    if (!RegisterClassA(&wc))
        return 1;
    HWND hWnd = CreateWindowA("KsmMinimalWindow", "ksm minimal window", WS_OVERLAPPEDWINDOW,
                              CW_USEDEFAULT, CW_USEDEFAULT, 640, 400, NULL, NULL, instance, NULL);
    if (hWnd == NULL)
        return 1;
    CreateWindowA("EDIT", "", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE, 10, 10, 600, 340,
                  hWnd, NULL, instance, NULL);
    ShowWindow(hWnd, showCommand);
    UpdateWindow(hWnd);

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
