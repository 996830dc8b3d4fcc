#include "FfmpegRun.h"

#include "ChildProcess.h"
#include "ProgressReporter.h"
#include "TextFormat.h"

#include <windows.h>

struct FfmpegRun::Reader
{
    FfmpegRun* run;
    HANDLE pipe;
    bool isProgress;
};

FfmpegRun::FfmpegRun(const std::wstring& ffmpeg, void* logFile, ProgressReporter& progress,
                     unsigned long stallMs)
    : m_ffmpeg(ffmpeg), m_log(logFile), m_reporter(progress), m_stallMs(stallMs)
{
    CRITICAL_SECTION* cs = new CRITICAL_SECTION;
    InitializeCriticalSection(cs);
    m_lock = cs;
}

FfmpegRun::~FfmpegRun()
{
    CRITICAL_SECTION* cs = static_cast<CRITICAL_SECTION*>(m_lock);
    DeleteCriticalSection(cs);
    delete cs;
}

void FfmpegRun::OnLine(bool isProgress, const std::string& line)
{
    CRITICAL_SECTION* cs = static_cast<CRITICAL_SECTION*>(m_lock);
    EnterCriticalSection(cs);
    if (isProgress) {
        if (m_progress.AddLine(line) &&
            (m_progress.Position() > m_lastPosition || m_progress.WrittenBytes() > m_lastBytes)) {
            m_lastPosition = m_progress.Position();
            m_lastBytes = m_progress.WrittenBytes();
            m_lastAdvance = GetTickCount();
        }
    } else {
        m_report.AddLine(line);
    }
    LeaveCriticalSection(cs);
}

unsigned long __stdcall FfmpegRun::ReadLoop(void* param)
{
    Reader* r = static_cast<Reader*>(param);
    std::string pending;
    char buf[8192];
    DWORD got = 0;
    while (ReadFile(r->pipe, buf, sizeof buf, &got, nullptr) && got > 0) {
        if (!r->isProgress && r->run->m_log) {
            DWORD written = 0;
            WriteFile(r->run->m_log, buf, got, &written, nullptr);
        }
        CRITICAL_SECTION* cs = static_cast<CRITICAL_SECTION*>(r->run->m_lock);
        EnterCriticalSection(cs);
        r->run->m_bytes += got;
        LeaveCriticalSection(cs);
        for (DWORD i = 0; i < got; ++i) {
            char c = buf[i];
            if (c == '\n' || c == '\r') {
                if (!pending.empty())
                    r->run->OnLine(r->isProgress, pending);
                pending.clear();
            } else if (pending.size() < 4096) {
                pending += c;
            }
        }
    }
    if (!pending.empty())
        r->run->OnLine(r->isProgress, pending);
    return 0;
}

RunOutcome FfmpegRun::Run(const std::vector<std::string>& utf8Args, const std::string& outputName,
                          const Decision& keepGoing)
{
    RunOutcome outcome;
    m_report = FfmpegReportParser(outputName);
    m_progress = ProgressParser();
    m_lastPosition = -1;
    m_lastBytes = -1;
    m_bytes = 0;

    std::vector<std::wstring> args;
    for (const std::string& a : utf8Args)
        args.push_back(TextFormat::Utf8ToWide(a));
    ChildProcess child;
    if (!child.Start(m_ffmpeg, args, outcome.startError))
        return outcome;
    outcome.started = true;

    Reader errReader = {this, child.StdErr(), false};
    Reader outReader = {this, child.StdOut(), true};
    HANDLE threads[2];
    threads[0] = CreateThread(nullptr, 64 * 1024, ReadLoop, &errReader, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    threads[1] = CreateThread(nullptr, 64 * 1024, ReadLoop, &outReader, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);

    CRITICAL_SECTION* cs = static_cast<CRITICAL_SECTION*>(m_lock);
    DWORD start = GetTickCount();
    m_lastAdvance = start;
    m_reporter.BeginRun(start);
    for (;;) {
        DWORD wait = WaitForSingleObject(child.Process(), 100);
        EnterCriticalSection(cs);
        // Read under the lock: a reader that records progress between a tick read outside
        // it and the lock would make now - lastAdvance wrap round to a "stall".
        DWORD now = GetTickCount();
        bool go = !keepGoing || keepGoing(m_report);
        double position = m_progress.Position();
        double duration = m_report.Duration();
        DWORD lastAdvance = m_lastAdvance;
        LeaveCriticalSection(cs);
        if (wait == WAIT_OBJECT_0)
            break;
        if (!go) {
            outcome.stoppedByEngine = true;
            child.Terminate();
            WaitForSingleObject(child.Process(), 5000);
            break;
        }
        if (now - lastAdvance > m_stallMs) {
            outcome.stalled = true;
            child.Terminate();
            WaitForSingleObject(child.Process(), 5000);
            break;
        }
        m_reporter.Update(position, duration, now);
    }
    outcome.exitCode = child.ExitCode();

    // The pipes close with the process; a reader still blocked after that (a grandchild
    // holding the pipe) has its read cancelled.
    for (HANDLE t : threads) {
        if (!t)
            continue;
        if (WaitForSingleObject(t, 5000) == WAIT_TIMEOUT) {
            CancelSynchronousIo(t);
            WaitForSingleObject(t, 2000);
        }
        CloseHandle(t);
    }
    outcome.logBytes = m_bytes;
    return outcome;
}
