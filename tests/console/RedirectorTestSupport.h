#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "CRedirector.h"

// A redirector that records what reaches its handlers, and on which thread.
class CCapturingRedirector : public CRedirector
{
public:
    CCapturingRedirector();
    ~CCapturingRedirector();

    void OnOutputText(const char* text) override;
    void OnErrorText(const char* text) override;

    std::vector<std::string> Chunks();
    std::string Output();
    std::vector<std::string> Errors();
    size_t LongestChunk();

    // A duplicate of the reader thread's handle, taken right after OpenConsole, so the
    // test can read the reader's exit code after the redirector closed its own handle.
    HANDLE DuplicateReaderHandle();

    bool AllHandlesNull() const
    {
        return !m_hReaderThread && !m_hStopEvent && !m_hChildStdinWrite && !m_hChildStdoutRead &&
               !m_hChildProcess && !m_hChildStdinPeek && m_readerThreadId == 0;
    }
    DWORD ReaderThreadId() const { return m_readerThreadId; }

    // Runs on the reader thread before each output chunk is recorded.
    std::function<void(const char*)> beforeOutput;

    // One write straight to the child's input pipe, past SendFormatted's checks.
    BOOL WriteToChildInput(const char* text)
    {
        DWORD written = 0;
        return WriteFile(m_hChildStdinWrite, text, lstrlenA(text), &written, NULL);
    }

    // Puts a handle that is no pipe where the reader looks for its output pipe.
    void BreakOutputPipe()
    {
        HANDLE pipe = m_hChildStdoutRead;
        m_hChildStdoutRead = CreateEventA(NULL, TRUE, FALSE, NULL);
        CloseHandle(pipe);
    }
    DWORD PollInterval() const { return m_pollIntervalMs; }
    HANDLE ChildProcess() const { return m_hChildProcess; }

private:
    CRITICAL_SECTION m_capture;
    std::vector<std::string> m_chunks;
    std::vector<std::string> m_errors;
};

namespace TestSupport {

// Full path of a program lying beside the running test program.
std::string BesideMe(const char* fileName);

// Runs sent and posted messages of this thread until the predicate holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// The highest handle value among a few hundred fresh handles: a leaked handle keeps a
// slot taken, so this moves up by one slot per leak (Wine reports no handle count).
uintptr_t HighestFreshHandleSlot();

DWORD ThreadExitCode(HANDLE thread, DWORD waitMs);

} // namespace TestSupport
