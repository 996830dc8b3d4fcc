#include "RedirectorTestSupport.h"

namespace {

// Every program a console test starts ends with it. Wine does not wake a program blocked on a
// write to a pipe whose reader went away, so a case that gives up on its interpreter leaves
// console_emit writing for ever; and a Wine program keeps the Linux stderr of the test that
// started it, so ctest would wait for it until the test's time-out.
struct ChildrenEndWithTheTest
{
    ChildrenEndWithTheTest()
    {
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        // The handle stays open: it closes as the test ends, and takes the rest along.
        if (job && SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
            AssignProcessToJobObject(job, GetCurrentProcess());
    }
} childrenEndWithTheTest;

} // namespace

CCapturingRedirector::CCapturingRedirector()
{
    InitializeCriticalSection(&m_capture);
}

CCapturingRedirector::~CCapturingRedirector()
{
    CloseConsole();   // while this is still the capturing class, so its lock outlives the reader
    DeleteCriticalSection(&m_capture);
}

void CCapturingRedirector::OnOutputText(const char* text)
{
    if (beforeOutput)
        beforeOutput(text);
    EnterCriticalSection(&m_capture);
    m_chunks.push_back(text);
    LeaveCriticalSection(&m_capture);
}

void CCapturingRedirector::OnErrorText(const char* text)
{
    EnterCriticalSection(&m_capture);
    m_errors.push_back(text);
    LeaveCriticalSection(&m_capture);
}

std::vector<std::string> CCapturingRedirector::Chunks()
{
    EnterCriticalSection(&m_capture);
    std::vector<std::string> copy = m_chunks;
    LeaveCriticalSection(&m_capture);
    return copy;
}

std::string CCapturingRedirector::Output()
{
    std::string all;
    for (const std::string& chunk : Chunks())
        all += chunk;
    return all;
}

std::vector<std::string> CCapturingRedirector::Errors()
{
    EnterCriticalSection(&m_capture);
    std::vector<std::string> copy = m_errors;
    LeaveCriticalSection(&m_capture);
    return copy;
}

size_t CCapturingRedirector::LongestChunk()
{
    size_t longest = 0;
    for (const std::string& chunk : Chunks())
        longest = chunk.size() > longest ? chunk.size() : longest;
    return longest;
}

HANDLE CCapturingRedirector::DuplicateReaderHandle()
{
    HANDLE copy = NULL;
    if (m_hReaderThread)
        DuplicateHandle(GetCurrentProcess(), m_hReaderThread, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    return copy;
}

namespace TestSupport {

std::string BesideMe(const char* fileName)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string result(path, length);
    result.erase(result.find_last_of("\\/") + 1);
    return result + fileName;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

uintptr_t HighestFreshHandleSlot()
{
    HANDLE handles[400];
    uintptr_t highest = 0;
    for (HANDLE& h : handles) {
        h = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (reinterpret_cast<uintptr_t>(h) > highest)
            highest = reinterpret_cast<uintptr_t>(h);
    }
    for (HANDLE h : handles)
        CloseHandle(h);
    return highest;
}

DWORD ThreadExitCode(HANDLE thread, DWORD waitMs)
{
    if (!thread)
        return 0xDEADBEEF;
    WaitForSingleObject(thread, waitMs);
    DWORD code = 0xDEADBEEF;
    GetExitCodeThread(thread, &code);
    return code;
}

} // namespace TestSupport
