#include "ffmpeg/FfmpegRun.h"

#include "ffmpeg/ProgressReporter.h"
#include "windows/ChildProcess.h"
#include "windows/Console.h"
#include "windows/MemoryWatch.h"
#include "windows/TextFormat.h"
#include "windows/UniqueHandle.h"
#include "windows/WorkFolder.h"

#include <windows.h>

struct FfmpegRun::Reader
{
    FfmpegRun* run;
    HANDLE pipe;
    bool isProgress;
};

FfmpegRun::FfmpegRun(const std::wstring& ffmpeg, WorkFolder& work, ProgressReporter& progress,
                     unsigned long stallMs, Console& console, const RunLimits& limits)
    : m_ffmpeg(ffmpeg), m_work(work), m_reporter(progress), m_stallMs(stallMs), m_console(console), m_limits(limits)
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
        ++m_reportLines;
    }
    LeaveCriticalSection(cs);
}

void FfmpegRun::Feed(bool isProgress, const char* data, unsigned long size, std::string& pending)
{
    for (unsigned long i = 0; i < size; ++i) {
        char c = data[i];
        if (c == '\n' || c == '\r') {
            if (!pending.empty())
                OnLine(isProgress, pending);
            pending.clear();
        } else if (pending.size() < 4096) {
            pending += c;
        }
    }
}

unsigned long __stdcall FfmpegRun::ReadLoop(void* param)
{
    Reader* r = static_cast<Reader*>(param);
    std::string pending;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(r->pipe, buf, sizeof buf, &got, nullptr) && got > 0)
        r->run->Feed(true, buf, got, pending);
    if (!pending.empty())
        r->run->OnLine(true, pending);
    return 0;
}

void FfmpegRun::ReadLog(void* reader, std::string& pending)
{
    if (!reader)
        return;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(reader, buf, sizeof buf, &got, nullptr) && got > 0) {
        m_bytes += got;
        Feed(false, buf, got, pending);
    }
}

LimitReached FfmpegRun::Exceeded(double position, long long frames, long long written) const
{
    if (m_limits.outputBytes > 0 && written >= m_limits.outputBytes)
        return LimitReached::Output;
    if (m_limits.frames > 0 && frames > m_limits.frames)
        return LimitReached::Frames;
    if (m_limits.seconds > 0 && position > m_limits.seconds)
        return LimitReached::Seconds;
    return LimitReached::None;
}

RunOutcome FfmpegRun::Run(const std::string& what, const std::vector<std::string>& utf8Args,
                          const std::string& outputName, RunWatch* watch)
{
    m_work.LogHeader(WorkFolder::RunHeader(++m_runs, what));
    LimitReached limit = LimitReached::None;
    bool abandoned = false;
    RunOutcome outcome = Watched(utf8Args, outputName, watch, limit, abandoned);
    if (abandoned)
        throw Cancelled();
    if (limit != LimitReached::None)
        throw BoundReached{limit};
    return outcome;
}

RunOutcome FfmpegRun::Watched(const std::vector<std::string>& utf8Args, const std::string& outputName,
                              RunWatch* watch, LimitReached& limit, bool& abandoned)
{
    RunOutcome outcome;
    m_report = FfmpegReportParser(outputName);
    m_reportLines = 0;
    m_progress = ProgressParser();
    m_lastPosition = -1;
    m_lastBytes = -1;
    m_bytes = 0;

    std::vector<std::wstring> args;
    for (const std::string& a : utf8Args)
        args.push_back(TextFormat::Utf8ToWide(a));

    // The log is read from where this run's part begins, through a handle of our own.
    UniqueHandle log(CreateFileW(m_work.LogPath().c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER none = {};
    if (log && !SetFilePointerEx(log.Get(), none, nullptr, FILE_END))
        log.Reset();
    std::string pending;

    // ffmpeg writes through a file object of its own: nothing the engine does with its
    // handles can wait behind a write of ffmpeg's, or the other way round. A scanner looking
    // at the log just written may keep it from being opened for a moment (errors 5 and 32).
    UniqueHandle childLog;
    for (int tries = 0; !childLog; ++tries) {
        childLog.Reset(CreateFileW(m_work.LogPath().c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD error = GetLastError();
        if (childLog || tries >= 30 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            break;
        Sleep(100);
    }
    ChildProcess child;
    bool started = childLog && child.Start(m_ffmpeg, args, childLog.Get(), m_limits.memoryBytes, outcome.startError);
    if (!childLog)
        outcome.startError = GetLastError();
    childLog.Reset();   // ffmpeg's own copy is the only one left
    if (!started)
        return outcome;
    outcome.started = true;

    MemoryWatch memory(child.Process());
    Reader outReader = {this, child.StdOut(), true};
    UniqueHandle thread(
        CreateThread(nullptr, 64 * 1024, ReadLoop, &outReader, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));

    CRITICAL_SECTION* cs = static_cast<CRITICAL_SECTION*>(m_lock);
    int watchedLines = -1;
    bool go = true;
    DWORD start = GetTickCount();
    m_lastAdvance = start;
    m_reporter.BeginRun(start);
    for (;;) {
        // Short waits at first: the stream report that decides whether this run goes on
        // comes within the first moments.
        DWORD wait = WaitForSingleObject(child.Process(), GetTickCount() - start < 2000 ? 20 : 100);
        ReadLog(log.Get(), pending);
        // The watch sees the report as it grew by this thread's own reading of the log.
        if (watch && m_reportLines != watchedLines) {
            watchedLines = m_reportLines;
            go = watch->GoesOn(m_report);
        }
        EnterCriticalSection(cs);
        // Read under the lock: a reader that records progress between a tick read outside
        // it and the lock would make now - lastAdvance wrap round to a "stall".
        DWORD now = GetTickCount();
        double position = m_progress.Position();
        double duration = m_report.Duration();
        DWORD lastAdvance = m_lastAdvance;
        limit = Exceeded(position, m_progress.Frames(), m_progress.WrittenBytes());
        LeaveCriticalSection(cs);
        outcome.peakMemory = memory.Peak();
        // Stopped short of the limit: memory grows between two looks.
        if (m_limits.memoryBytes > 0 && outcome.peakMemory > m_limits.memoryBytes - m_limits.memoryBytes / 8)
            limit = LimitReached::Memory;
        if (wait == WAIT_OBJECT_0)
            break;
        if (m_console.ReaderGone())
            abandoned = true;
        else if (limit == LimitReached::None && !go)
            outcome.stoppedByEngine = true;
        else if (limit == LimitReached::None && now - lastAdvance > m_stallMs)
            outcome.stalled = true;
        if (limit != LimitReached::None || outcome.stoppedByEngine || outcome.stalled || abandoned) {
            child.Terminate();
            WaitForSingleObject(child.Process(), 5000);
            break;
        }
        m_reporter.Update(position, duration, now);
    }
    outcome.exitCode = child.ExitCode();
    // Where the system enforces the job's memory limit, an allocation fails before the
    // engine sees the memory grow.
    unsigned long long jobPeak = child.PeakMemory();
    if (jobPeak > outcome.peakMemory)
        outcome.peakMemory = jobPeak;
    if (m_limits.memoryBytes > 0 && outcome.exitCode != 0 &&
        (child.MemoryLimitHit() || outcome.peakMemory + (32ULL << 20) > m_limits.memoryBytes))
        limit = LimitReached::Memory;

    // The pipe closes with the process; a reader still blocked after that (a grandchild
    // holding the pipe) has its read cancelled.
    if (thread) {
        if (WaitForSingleObject(thread.Get(), 5000) == WAIT_TIMEOUT) {
            CancelSynchronousIo(thread.Get());
            WaitForSingleObject(thread.Get(), 2000);
        }
        thread.Reset();
    }
    ReadLog(log.Get(), pending);
    if (!pending.empty())
        OnLine(false, pending);
    log.Reset();
    outcome.logBytes = m_bytes;
    // ffmpeg ends by itself at -fs: the MP4 it leaves is cut at the bound.
    if (limit == LimitReached::None)
        limit = Exceeded(m_progress.Position(), m_progress.Frames(), m_progress.WrittenBytes());
    return outcome;
}
