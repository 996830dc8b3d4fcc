#pragma once

#include <windows.h>

#include "CObject.h"

// Runs the command interpreter hidden, with its standard input, output and error on
// pipes held by this object. The owner types lines into it with SendFormatted; a reader
// thread hands everything the interpreter prints, in chunks of at most 255 bytes, to
// OnOutputText, and the redirector's own failures as text lines to OnErrorText.
//
// Threads: the owner calls OpenConsole, SendFormatted and CloseConsole on one thread;
// the reader thread calls the handlers and, when the child ends, CloseConsole. The
// release steps are serialised by m_lock, so each handle is closed exactly once.
class CRedirector : public CObject
{
public:
    CRedirector();
    virtual ~CRedirector();

    BOOL OpenConsole();
    BOOL SendFormatted(const char* format, ...);

    virtual void OnOutputText(const char* text);
    virtual void OnErrorText(const char* text);
    virtual void CloseConsole();

    // Test seam: when set, the interpreter is started from this path instead of the
    // system directory's cmd.exe, so a test can force the launch to fail.
    static const char* s_interpreterPathOverride;

protected:
    HANDLE m_hReaderThread;
    HANDLE m_hStopEvent;
    DWORD m_readerThreadId;
    DWORD m_pollIntervalMs;
    HANDLE m_hChildStdinWrite;
    HANDLE m_hChildStdoutRead;
    HANDLE m_hChildProcess;

    // A kept, non-inheritable duplicate of the child's stdin read end: peeking it tells
    // whether the interpreter has taken what was written before.
    HANDLE m_hChildStdinPeek;
    // Serialises the release steps of owner and reader, and writes against release.
    CRITICAL_SECTION m_lock;
    // Set with the stop event; the reader tests it between chunks, where a wait on the
    // event would cost a system call per chunk.
    volatile LONG m_stopRequested;

    BOOL LaunchInterpreter(HANDLE hStdOut, HANDLE hStdIn, HANDLE hStdErr);
    static DWORD WINAPI ReaderThreadMain(LPVOID redirector);
    int DrainOutput();
    int ReportPipeEnd();
    static BOOL CloseHandleAndClear(HANDLE& handle);

private:
    void WaitForInputTaken();
    void ReleaseHandles();
};
