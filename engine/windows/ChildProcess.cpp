#include "windows/ChildProcess.h"

#include <windows.h>

#include <utility>

namespace {

// Windows puts a windowless program it takes for background work on a hybrid processor's
// efficiency cores and slows it for power; a conversion the user waits for opts out.
// (Windows 10 1709 and later; elsewhere the call is missing or refused, and nothing changes.)
void RunAtFullSpeed(HANDLE process)
{
    struct PowerThrottling
    {
        ULONG Version, ControlMask, StateMask;
    } state = {1, 1 /* execution speed */, 0 /* not throttled */};
    typedef BOOL(WINAPI * SetInformation)(HANDLE, int, LPVOID, DWORD);
    const int processPowerThrottling = 4;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    SetInformation set = kernel ? reinterpret_cast<SetInformation>(
                                      reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessInformation")))
                                : nullptr;
    if (set)
        set(process, processPowerThrottling, &state, sizeof state);
}

} // namespace

std::wstring ChildProcess::Quote(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

bool ChildProcess::Start(const std::wstring& exe, const std::vector<std::wstring>& args, void* stderrFile,
                         unsigned long long memoryLimit, unsigned long& error)
{
    error = 0;
    std::wstring commandLine = Quote(exe);
    for (const std::wstring& a : args)
        commandLine += L" " + Quote(a);

    // Every handle starts non-inheritable; only the child's ends are made inheritable,
    // and the explicit list keeps anything else out on systems that honour it.
    UniqueHandle outRead, outWrite, errWrite;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    if (!CreatePipe(outRead.Put(), outWrite.Put(), &sa, 0) ||
        !DuplicateHandle(GetCurrentProcess(), stderrFile, GetCurrentProcess(), errWrite.Put(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        error = GetLastError();
        return false;
    }
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                                 nullptr));
    SetHandleInformation(outWrite.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(errWrite.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    if (nul)
        SetHandleInformation(nul.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    STARTUPINFOEXW si;
    ZeroMemory(&si, sizeof si);
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = nul.Get();
    si.StartupInfo.hStdOutput = outWrite.Get();
    si.StartupInfo.hStdError = errWrite.Get();

    HANDLE inherit[3];
    DWORD inheritCount = 0;
    if (nul)
        inherit[inheritCount++] = nul.Get();
    inherit[inheritCount++] = outWrite.Get();
    inherit[inheritCount++] = errWrite.Get();

    std::vector<char> attrBuffer;
    SIZE_T attrSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attrSize);
    attrBuffer.resize(attrSize ? attrSize : 1);
    LPPROC_THREAD_ATTRIBUTE_LIST attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrBuffer.data());
    bool haveList = attrSize > 0 && InitializeProcThreadAttributeList(attrs, 1, 0, &attrSize) &&
                    UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                              inheritCount * sizeof(HANDLE), nullptr, nullptr);
    si.lpAttributeList = haveList ? attrs : nullptr;

    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    // No console at all: ffmpeg needs none (its streams are the pipes and NUL), and
    // CREATE_NO_WINDOW would start a hidden console host for every run.
    DWORD flags = DETACHED_PROCESS | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
    BOOL started = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE,
                                  flags | (haveList ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr, nullptr,
                                  &si.StartupInfo, &pi);
    if (!started && haveList && GetLastError() == ERROR_INVALID_PARAMETER) {
        // A system that rejects the handle list (older Wine): plain inheritance. The three
        // handles above are the only inheritable ones this process makes; the standard
        // handles it got from cmd (the window's pipes) are kept from passing on.
        for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
            HANDLE h = GetStdHandle(which);
            if (h && h != INVALID_HANDLE_VALUE)
                SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
        }
        si.StartupInfo.cb = sizeof(STARTUPINFOW);
        started = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                 &si.StartupInfo, &pi);
    }
    if (!started)
        error = GetLastError();
    if (haveList)
        DeleteProcThreadAttributeList(attrs);
    // The child holds its own ends now: the pipe ends when it does.
    outWrite.Reset();
    errWrite.Reset();
    nul.Reset();
    if (!started)
        return false;

    // The job ends ffmpeg together with this process, so a killed run leaves no writer
    // behind in its work folder. Not every system lets a process join a second job.
    m_job.Reset(CreateJobObjectW(nullptr, nullptr));
    if (m_job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        ZeroMemory(&limits, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (memoryLimit > 0) {
            limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
            limits.ProcessMemoryLimit = static_cast<SIZE_T>(memoryLimit);
        }
        // The job tells of a refused allocation on a port: ffmpeg's peak stays below the limit then.
        m_port.Reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT port = {m_job.Get(), m_port.Get()};
        if (m_port &&
            !SetInformationJobObject(m_job.Get(), JobObjectAssociateCompletionPortInformation, &port, sizeof port))
            m_port.Reset();
        if (!SetInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
            !AssignProcessToJobObject(m_job.Get(), pi.hProcess))
            m_job.Reset();
    }
    UniqueHandle thread(pi.hThread);
    m_process.Reset(pi.hProcess);
    RunAtFullSpeed(m_process.Get());
    ResumeThread(thread.Get());
    m_stdout = std::move(outRead);
    return true;
}

void ChildProcess::Terminate()
{
    if (m_process)
        TerminateProcess(m_process.Get(), 1);
}

unsigned long ChildProcess::ExitCode() const
{
    DWORD code = 0;
    if (!m_process || !GetExitCodeProcess(m_process.Get(), &code))
        return 1;
    return code;
}

bool ChildProcess::MemoryLimitHit()
{
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED detail = nullptr;
    while (m_port && GetQueuedCompletionStatus(m_port.Get(), &message, &key, &detail, 0))
        if (message == JOB_OBJECT_MSG_PROCESS_MEMORY_LIMIT || message == JOB_OBJECT_MSG_JOB_MEMORY_LIMIT)
            m_memoryLimitHit = true;
    return m_memoryLimitHit;
}

unsigned long long ChildProcess::PeakMemory() const
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info;
    if (!m_job || !QueryInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &info, sizeof info, nullptr))
        return 0;
    return info.PeakProcessMemoryUsed;
}
