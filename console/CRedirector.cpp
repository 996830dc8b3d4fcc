#include "CRedirector.h"

#include <cstdio>

#include "CString.h"

const char* CRedirector::s_interpreterPathOverride = NULL;
CRedirector::InputPacing CRedirector::s_inputPacing = CRedirector::PacingAuto;
void (*CRedirector::s_releaseHook)() = NULL;

namespace {

const DWORD kCloseWaitMs = 5000;        // longest wait for a reader that does not stop
const DWORD kInputTakenWaitMs = 5000;   // longest wait for the interpreter to take a line
const DWORD kInputPollMs = 2;
const DWORD kChunkBytes = 255;

// Runs the messages other threads have sent to this thread (the reader's appends to a
// log window owned by it) without touching posted messages.
void DispatchSentMessages()
{
    MSG msg;
    PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// Waits for an object while still serving sent messages, so a reader that is delivering
// text to a window of this thread can finish and see the stop request. Returns
// WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitServingSentMessages(HANDLE handle, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        DispatchSentMessages();
        const DWORD elapsed = GetTickCount() - start;
        const DWORD left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        const DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, left, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0 + 1 && left > 0)
            continue;
        if (result == WAIT_OBJECT_0 + 1)
            return WaitForSingleObject(handle, 0);
        return result;
    }
}

// Wine's ntdll exports its version; Windows' never does.
bool RunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

} // namespace

bool CRedirector::PacesInput()
{
    if (s_inputPacing == PacingAuto) {
        static const bool wine = RunningUnderWine();
        return wine;
    }
    return s_inputPacing == PacingAlways;
}

CRedirector::CRedirector()
    : m_hReaderThread(NULL),
      m_hStopEvent(NULL),
      m_readerThreadId(0),
      m_pollIntervalMs(100),
      m_hChildStdinWrite(NULL),
      m_hChildStdoutRead(NULL),
      m_hChildProcess(NULL),
      m_hChildStdinPeek(NULL),
      m_stopRequested(0)
{
    m_hLock = CreateMutexA(NULL, FALSE, NULL);
}

CRedirector::~CRedirector()
{
    // By now the object is a plain CRedirector: whatever the closing code or a still
    // running reader reports goes to the base handlers and is dropped.
    CRedirector::CloseConsole();
    CloseHandleAndClear(m_hLock);
}

BOOL CRedirector::CloseHandleAndClear(HANDLE& handle)
{
    if (handle == NULL)
        return 0;
    // Cleared before the close: a thread ended between the two leaks a handle rather than
    // leaving a stale value that would be closed twice.
    const HANDLE closing = handle;
    handle = NULL;
    return CloseHandle(closing);
}

BOOL CRedirector::OpenConsole()
{
    CloseConsole();

    HANDLE outReadTmp = NULL, outWrite = NULL, errWrite = NULL;
    HANDLE inRead = NULL, inWriteTmp = NULL;
    const HANDLE self = GetCurrentProcess();

    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = NULL;
    sa.bInheritHandle = TRUE;

    BOOL ok = CreatePipe(&outReadTmp, &outWrite, &sa, 0)
        // The child's stdout and stderr are the same pipe.
        && DuplicateHandle(self, outWrite, self, &errWrite, 0, TRUE, DUPLICATE_SAME_ACCESS)
        && CreatePipe(&inRead, &inWriteTmp, &sa, 0)
        // Our ends must not be inherited, or the child would hold its own pipes open.
        && DuplicateHandle(self, outReadTmp, self, &m_hChildStdoutRead, 0, FALSE, DUPLICATE_SAME_ACCESS)
        && DuplicateHandle(self, inWriteTmp, self, &m_hChildStdinWrite, 0, FALSE, DUPLICATE_SAME_ACCESS)
        && (!PacesInput() ||
            DuplicateHandle(self, inRead, self, &m_hChildStdinPeek, 0, FALSE, DUPLICATE_SAME_ACCESS));
    if (ok) {
        CloseHandleAndClear(outReadTmp);
        CloseHandleAndClear(inWriteTmp);
        ok = LaunchInterpreter(outWrite, inRead, errWrite);
    }
    if (ok) {
        // The child has its own copies now.
        CloseHandleAndClear(outWrite);
        CloseHandleAndClear(inRead);
        CloseHandleAndClear(errWrite);

        m_hStopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        InterlockedExchange(&m_stopRequested, 0);
        DWORD threadId = 0;
        m_hReaderThread = CreateThread(NULL, 0, ReaderThreadMain, this, CREATE_SUSPENDED, &threadId);
        if (m_hReaderThread != NULL) {
            // The reader compares its id with this field in CloseConsole: set it first.
            m_readerThreadId = threadId;
            ResumeThread(m_hReaderThread);
            return TRUE;
        }
    }

    const DWORD error = GetLastError();
    char line[40];
    std::sprintf(line, "Redirect console error: %lx\r\n", static_cast<unsigned long>(error));
    OnErrorText(line);
    CloseHandleAndClear(outReadTmp);
    CloseHandleAndClear(outWrite);
    CloseHandleAndClear(errWrite);
    CloseHandleAndClear(inWriteTmp);
    CloseHandleAndClear(inRead);
    CloseConsole();
    SetLastError(error);
    return FALSE;
}

BOOL CRedirector::LaunchInterpreter(HANDLE hStdOut, HANDLE hStdIn, HANDLE hStdErr)
{
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = hStdIn;
    si.hStdOutput = hStdOut;
    si.hStdError = hStdErr;

    // The interpreter is named by its full path in the system directory, so a cmd.exe
    // lying in the program's folder or the current directory is never run.
    char application[MAX_PATH + 16];
    if (s_interpreterPathOverride != NULL) {
        lstrcpynA(application, s_interpreterPathOverride, sizeof application);
    } else {
        UINT length = GetSystemDirectoryA(application, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return FALSE;
        lstrcatA(application, "\\cmd.exe");
    }
    // /d: no AutoRun command of the user's runs before our lines (it could change the code
    // page they are read in); /e:on: "cd /d" and "pushd" work even where the registry
    // turns command extensions off; /v:off: a "!" in a typed path is never expanded,
    // whatever the registry says. CreateProcessA may write into this buffer.
    char commandLine[] = "cmd.exe /d /e:on /v:off";

    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    if (!CreateProcessA(application, commandLine, NULL, NULL, TRUE, CREATE_NEW_CONSOLE, NULL, NULL,
                        &si, &pi))
        return FALSE;
    m_hChildProcess = pi.hProcess;
    CloseHandle(pi.hThread);
    return TRUE;
}

DWORD WINAPI CRedirector::ReaderThreadMain(LPVOID param)
{
    CRedirector* redirector = static_cast<CRedirector*>(param);
    HANDLE waitSet[2] = {redirector->m_hChildProcess, redirector->m_hStopEvent};
    char buffer[kChunkBytes + 1];
    int result;

    for (;;) {
        DWORD available = 0;
        BOOL ok = PeekNamedPipe(redirector->m_hChildStdoutRead, NULL, 0, NULL, &available, NULL);
        while (ok && available > 0) {
            DWORD got = 0;
            const DWORD wanted = available < kChunkBytes ? available : kChunkBytes;
            if (!ReadFile(redirector->m_hChildStdoutRead, buffer, wanted, &got, NULL) || got == 0) {
                ok = FALSE;
                break;
            }
            buffer[got] = '\0';
            redirector->OnOutputText(buffer);
            // A stream that never pauses must not keep the reader from seeing a stop.
            if (redirector->m_stopRequested)
                break;
            ok = PeekNamedPipe(redirector->m_hChildStdoutRead, NULL, 0, NULL, &available, NULL);
        }
        if (!ok) {
            result = redirector->ReportPipeEnd();
            break;
        }
        if (redirector->m_stopRequested) {
            result = 1;
            break;
        }
        const DWORD waited = WaitForMultipleObjects(2, waitSet, FALSE, redirector->m_pollIntervalMs);
        if (waited == WAIT_OBJECT_0) {
            result = redirector->DrainOutput();
            if (result > 0)
                result = 0;
            break;
        }
        if (waited == WAIT_OBJECT_0 + 1) {
            result = 1;
            break;
        }
    }

    redirector->CloseConsole();
    return static_cast<DWORD>(result);
}

int CRedirector::DrainOutput()
{
    char buffer[kChunkBytes + 1];
    DWORD available = 0;
    if (!PeekNamedPipe(m_hChildStdoutRead, NULL, 0, NULL, &available, NULL))
        return ReportPipeEnd();
    for (;;) {
        // A process the interpreter started may still hold the pipe and keep writing;
        // a stop request ends the drain as it ends the reader.
        if (available == 0 || m_stopRequested)
            return 1;
        DWORD got = 0;
        const DWORD wanted = available < kChunkBytes ? available : kChunkBytes;
        if (!ReadFile(m_hChildStdoutRead, buffer, wanted, &got, NULL) || got == 0)
            return ReportPipeEnd();
        buffer[got] = '\0';
        OnOutputText(buffer);
        if (!PeekNamedPipe(m_hChildStdoutRead, NULL, 0, NULL, &available, NULL))
            return ReportPipeEnd();
    }
}

int CRedirector::ReportPipeEnd()
{
    const DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA) {
        OnOutputText("\r\n<TEST INFO>: Child process ended\r\n");
        return 0;
    }
    OnErrorText("Read stdout pipe error\r\n");
    return -1;
}

void CRedirector::CloseConsole()
{
    HANDLE readerToWaitFor = NULL;

    Lock();
    if (m_hReaderThread != NULL && GetCurrentThreadId() != m_readerThreadId) {
        // Take the handle out under the lock: the reader's own CloseConsole then finds
        // none to close, and ours stays valid for the wait.
        readerToWaitFor = m_hReaderThread;
        m_hReaderThread = NULL;
        InterlockedExchange(&m_stopRequested, 1);
        if (m_hStopEvent != NULL)
            SetEvent(m_hStopEvent);
    } else {
        // No reader to wait for (none, or this is the reader): release everything in this
        // one locked step, so a reader can never release handles of a console the owner
        // opened after it.
        CloseHandleAndClear(m_hReaderThread);
        ReleaseHandles();
    }
    Unlock();
    if (readerToWaitFor == NULL)
        return;

    if (WaitServingSentMessages(readerToWaitFor, kCloseWaitMs) == WAIT_TIMEOUT) {
        OnErrorText("The redir thread is dead\r\n");
        TerminateThread(readerToWaitFor, static_cast<DWORD>(-2));
    }
    CloseHandleAndClear(readerToWaitFor);

    // The reader normally released everything on its way out; not when it was killed,
    // possibly in the middle of that release (the lock then comes back abandoned).
    Lock();
    ReleaseHandles();
    Unlock();
}

void CRedirector::Lock()
{
    if (m_hLock != NULL)
        WaitForSingleObject(m_hLock, INFINITE);   // WAIT_ABANDONED also gives ownership
}

void CRedirector::Unlock()
{
    if (m_hLock != NULL)
        ReleaseMutex(m_hLock);
}

void CRedirector::ReleaseHandles()
{
    if (s_releaseHook != NULL)
        s_releaseHook();
    CloseHandleAndClear(m_hStopEvent);
    CloseHandleAndClear(m_hChildProcess);
    CloseHandleAndClear(m_hChildStdinWrite);
    CloseHandleAndClear(m_hChildStdoutRead);
    CloseHandleAndClear(m_hChildStdinPeek);
    m_readerThreadId = 0;
}

void CRedirector::WaitForInputTaken()
{
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD pending = 0;
        BOOL childRunning = FALSE;
        Lock();
        if (m_hChildStdinPeek != NULL && m_hChildProcess != NULL) {
            if (!PeekNamedPipe(m_hChildStdinPeek, NULL, 0, NULL, &pending, NULL))
                pending = 0;
            childRunning = WaitForSingleObject(m_hChildProcess, 0) == WAIT_TIMEOUT;
        }
        Unlock();
        if (pending == 0 || !childRunning || GetTickCount() - start >= kInputTakenWaitMs)
            return;
        DispatchSentMessages();
        MsgWaitForMultipleObjects(0, NULL, FALSE, kInputPollMs, QS_SENDMESSAGE);
    }
}

BOOL CRedirector::SendFormatted(const char* format, ...)
{
    if (m_hChildStdinWrite == NULL)
        return FALSE;

    CString text;
    va_list args;
    va_start(args, format);
    text.FormatV(format, args);
    va_end(args);

    // Wine's interpreter drops every line after the first that arrives in one read:
    // let it take what was written before. Never on Windows (see s_inputPacing).
    if (PacesInput())
        WaitForInputTaken();

    // The write runs on a handle of its own and outside the lock: a reader that sees the
    // interpreter end can then release the console, and with it the last read end we
    // hold, which ends a write the interpreter will never read.
    HANDLE input = NULL;
    BOOL childGone = FALSE;
    Lock();
    if (m_hChildStdinWrite != NULL) {
        // With a read end of our own the pipe never breaks: a write after the interpreter
        // ended would "succeed" into a pipe nobody reads.
        childGone = m_hChildStdinPeek != NULL && m_hChildProcess != NULL &&
                    WaitForSingleObject(m_hChildProcess, 0) == WAIT_OBJECT_0;
        if (!childGone)
            DuplicateHandle(GetCurrentProcess(), m_hChildStdinWrite, GetCurrentProcess(), &input, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
    }
    Unlock();
    if (childGone) {
        SetLastError(ERROR_NO_DATA);
        return FALSE;
    }
    if (input == NULL)
        return FALSE;

    DWORD written = 0;
    const BOOL result =
        WriteFile(input, text.GetString(), static_cast<DWORD>(text.GetLength()), &written, NULL);
    const DWORD error = GetLastError();
    CloseHandle(input);
    SetLastError(error);
    return result;
}

void CRedirector::OnOutputText(const char*)
{
}

void CRedirector::OnErrorText(const char*)
{
}
