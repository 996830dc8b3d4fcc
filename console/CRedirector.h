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
// release steps are serialised by m_hLock, so each handle is closed exactly once.
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

    // Whether SendFormatted waits for the interpreter to take what was written before.
    // Wine's cmd drops lines that arrive together, so there it must; on Windows it must
    // not, as the wait peeks the interpreter's stdin, which Windows serialises behind the
    // interpreter's own pending read. PacingAuto decides by the platform at run time;
    // tests force either way.
    enum InputPacing { PacingAuto, PacingNever, PacingAlways };
    static InputPacing s_inputPacing;
    static bool PacesInput();

    // Test seam: called on the releasing thread while it holds the release lock.
    static void (*s_releaseHook)();

protected:
    HANDLE m_hReaderThread;
    HANDLE m_hStopEvent;
    DWORD m_readerThreadId;
    DWORD m_pollIntervalMs;
    HANDLE m_hChildStdinWrite;
    HANDLE m_hChildStdoutRead;
    HANDLE m_hChildProcess;

    // Only while pacing input: a kept, non-inheritable duplicate of the child's stdin read
    // end; peeking it tells whether the interpreter has taken what was written before.
    HANDLE m_hChildStdinPeek;
    // Serialises the release steps of owner and reader. A mutex, not a critical section:
    // if the reader is ended forcibly inside a release, the owner gets it back abandoned
    // instead of waiting for ever.
    HANDLE m_hLock;
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
    void Lock();
    void Unlock();
};
