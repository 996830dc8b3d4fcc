// The test prefix's crash debugger (tools/setup registers it under AeDebug). Wine starts
// it as "CrashReport.exe <pid> <event>" when a program meets an exception nobody handles.
// It appends one line naming that program to the crash log the tests read, lets the
// program go and makes sure it ends: a crash is never hidden, and never waits for a person
// the way Wine's own crash dialog does.
//
// The log is ksm-crashes.log on the prefix's system drive, one file for every test: Wine
// hands the debugger a garbled copy of the crashing program's environment (a wide block
// passed as narrow), so no variable of the test's reaches here.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const DWORD kEndWaitMs = 10000;   // longest wait for the program's next debug event

std::wstring LogPath()
{
    wchar_t drive[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH);
    return std::wstring(n > 0 && n < MAX_PATH ? drive : L"C:") + L"\\ksm-crashes.log";
}

void Append(const std::wstring& line)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), NULL, 0, NULL, NULL);
    std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], n, NULL, NULL);
    // Several tests share a log: one appending write per line keeps lines whole.
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE log = CreateFileW(LogPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (log != INVALID_HANDLE_VALUE) {
            DWORD done = 0;
            WriteFile(log, bytes.data(), static_cast<DWORD>(bytes.size()), &done, NULL);
            CloseHandle(log);
            return;
        }
        Sleep(20);
    }
}

void Log(DWORD pid, const wchar_t* image, DWORD code)
{
    const wchar_t* slash = wcsrchr(image, L'\\');
    wchar_t line[160];
    swprintf(line, 160, L"CRASH %ls pid %lu exception 0x%08lX (", slash != NULL ? slash + 1 : image,
             static_cast<unsigned long>(pid), static_cast<unsigned long>(code));
    Append(line + std::wstring(image) + L")\r\n");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 1;
    const DWORD pid = wcstoul(argv[1], NULL, 10);
    const HANDLE event = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(wcstoul(argv[2], NULL, 10)));

    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    wchar_t image[MAX_PATH * 4] = L"?";
    DWORD size = MAX_PATH * 4;
    if (process == NULL || !QueryFullProcessImageNameW(process, 0, image, &size))
        lstrcpyW(image, L"?");

    // Attached as the debugger the program asked for, then let go: the exception it
    // stopped on comes back as the last-chance event, which gives its code.
    const BOOL attached = DebugActiveProcess(pid);
    if (event != NULL) {
        SetEvent(event);
        CloseHandle(event);
    }
    bool logged = false;
    DEBUG_EVENT ev;
    while (attached && WaitForDebugEvent(&ev, kEndWaitMs)) {
        DWORD how = DBG_CONTINUE;
        if (ev.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && ev.u.CreateProcessInfo.hFile != NULL)
            CloseHandle(ev.u.CreateProcessInfo.hFile);
        else if (ev.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && ev.u.LoadDll.hFile != NULL)
            CloseHandle(ev.u.LoadDll.hFile);
        else if (ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            how = DBG_EXCEPTION_NOT_HANDLED;   // unhandled at last: the program ends with its code
            if (!ev.u.Exception.dwFirstChance && !logged) {
                // Logged while the program still stands: whoever waits for it finds the line.
                Log(pid, image, ev.u.Exception.ExceptionRecord.ExceptionCode);
                logged = true;
            }
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, how);
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
            break;
    }
    // Not attached (or no word from it), it ends by itself with the code as its status;
    // one that does not is ended.
    if (process != NULL && WaitForSingleObject(process, kEndWaitMs) != WAIT_OBJECT_0)
        TerminateProcess(process, 3);
    if (!logged) {
        DWORD code = 0;
        if (process != NULL)
            GetExitCodeProcess(process, &code);
        Log(pid, image, code);
    }
    if (process != NULL)
        CloseHandle(process);
    return 0;
}
