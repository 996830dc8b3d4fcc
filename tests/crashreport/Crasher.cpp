// Crashes on purpose for crash_report_tests: "Crasher.exe --crash" writes through a null
// pointer; its one case starts it so and waits, as a test whose child crashes would.

#include "TestKit.h"

#include <windows.h>

namespace {

struct CrashFirst
{
    CrashFirst()
    {
        if (std::strstr(GetCommandLineA(), "--crash") != NULL)
            *static_cast<volatile int*>(NULL) = 1;
    }
} g_crashFirst;

} // namespace

TEST_CASE(a_child_crashes)
{
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string commandLine = std::string("\"") + self + "\" --crash";
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    REQUIRE(CreateProcessA(self, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
    CHECK_EQ(WaitForSingleObject(pi.hProcess, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    // Ended with its exception code, as a crashed program does where no debugger keeps it.
    DWORD code = 0;
    CHECK(GetExitCodeProcess(pi.hProcess, &code));
    CHECK_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}
