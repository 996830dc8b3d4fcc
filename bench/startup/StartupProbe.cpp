// Starts a program, times how long until its window (found by title) is visible and
// answers messages, reads the process's committed memory then, and closes the window.
//
//   StartupProbe PROGRAM TITLE [ARGUMENT]
// prints: startup_ms=<float> pagefile_bytes=<n> working_set_bytes=<n> exit_code=<n>

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: StartupProbe PROGRAM TITLE [ARGUMENT]\n");
        return 2;
    }
    LARGE_INTEGER frequency, started, now;
    QueryPerformanceFrequency(&frequency);

    std::string commandLine = std::string("\"") + argv[1] + "\"";
    if (argc == 4)
        commandLine += std::string(" ") + argv[3];
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    QueryPerformanceCounter(&started);
    if (!CreateProcessA(argv[1], &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        std::fprintf(stderr, "cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }

    HWND hWnd = NULL;
    for (;;) {
        hWnd = FindWindowA(NULL, argv[2]);
        if (hWnd != NULL && IsWindowVisible(hWnd)) {
            DWORD_PTR ignored;
            if (SendMessageTimeoutA(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored))
                break;
        }
        if (WaitForSingleObject(pi.hProcess, 1) == WAIT_OBJECT_0) {
            std::fprintf(stderr, "%s ended before showing its window\n", argv[1]);
            return 1;
        }
        QueryPerformanceCounter(&now);
        if (now.QuadPart - started.QuadPart > frequency.QuadPart * 60) {
            std::fprintf(stderr, "no window titled %s within 60 s\n", argv[2]);
            TerminateProcess(pi.hProcess, 1);
            return 1;
        }
    }
    QueryPerformanceCounter(&now);
    const double startupMs = 1000.0 * static_cast<double>(now.QuadPart - started.QuadPart) /
                             static_cast<double>(frequency.QuadPart);

    // Let the start-up settle (first paint, late allocations) before reading memory.
    Sleep(500);
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof counters);
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(pi.hProcess, &counters, sizeof counters);

    PostMessageA(hWnd, WM_CLOSE, 0, 0);
    DWORD exitCode = 0;
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        exitCode = static_cast<DWORD>(-1);
    } else {
        GetExitCodeProcess(pi.hProcess, &exitCode);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    std::printf("startup_ms=%.1f pagefile_bytes=%lu working_set_bytes=%lu exit_code=%lu\n", startupMs,
                static_cast<unsigned long>(counters.PagefileUsage),
                static_cast<unsigned long>(counters.WorkingSetSize), exitCode);
    return 0;
}
