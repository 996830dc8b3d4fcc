#pragma once

#include "windows/UniqueHandle.h"

#include <string>
#include <vector>

// A child program: stdin is the NUL device, stdout a pipe whose read end only this
// process holds, stderr a file the caller gives (written at its end). The child inherits
// exactly those three handles, gets no console, runs at normal priority without power
// throttling (the user waits for it; below normal, Windows puts it on a hybrid processor's
// slow cores) and in a job that ends it should this process die and that bounds its memory.
class ChildProcess
{
public:
    // False when it could not be started; error holds GetLastError(). stderrFile stays
    // the caller's; the child gets its own copy. memoryLimit: the most private memory the
    // system lets it commit (0: no limit); not every system enforces it.
    bool Start(const std::wstring& exe, const std::vector<std::wstring>& args, void* stderrFile,
               unsigned long long memoryLimit, unsigned long& error);

    void* Process() const { return m_process.Get(); }
    void* StdOut() const { return m_stdout.Get(); }
    void Terminate();
    unsigned long ExitCode() const;
    // The most private memory its job has seen (0 when unknown).
    unsigned long long PeakMemory() const;
    // The system refused it memory at the job's limit (where the system enforces it).
    bool MemoryLimitHit();

    // Quotes one argument the way the C runtime's parser splits it again.
    static std::wstring Quote(const std::wstring& arg);

private:
    // Closed in the reverse order: the pipe first, the job (which ends the child) after the process.
    UniqueHandle m_port;
    UniqueHandle m_job;
    UniqueHandle m_process;
    UniqueHandle m_stdout;
    bool m_memoryLimitHit = false;
};
