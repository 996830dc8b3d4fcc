#pragma once

#include <string>
#include <vector>

// A child program on pipes: stdin is the NUL device, stdout and stderr are pipes whose
// read ends only this process holds. The child inherits exactly those three handles and
// runs in a job that ends it should this process die.
class ChildProcess
{
public:
    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False when it could not be started; error holds GetLastError().
    bool Start(const std::wstring& exe, const std::vector<std::wstring>& args, unsigned long& error);

    void* Process() const { return m_process; }
    void* StdOut() const { return m_stdout; }
    void* StdErr() const { return m_stderr; }
    void Terminate();
    unsigned long ExitCode() const;

    // Quotes one argument the way the C runtime's parser splits it again.
    static std::wstring Quote(const std::wstring& arg);

private:
    void* m_process = nullptr;
    void* m_job = nullptr;
    void* m_stdout = nullptr;
    void* m_stderr = nullptr;
};
