#pragma once

#include "ffmpeg/FfmpegReportParser.h"
#include "ffmpeg/ProgressParser.h"

#include <string>
#include <vector>

class Console;
class ProgressReporter;
class WorkFolder;

// What one run may spend before the engine stops it; 0 leaves a bound out.
struct RunLimits
{
    unsigned long long memoryBytes = 0;   // ffmpeg's private memory
    long long outputBytes = 0;            // what it writes
    long long frames = 0;                 // video frames it puts out
    double seconds = 0;                   // the position it reaches
};

enum class LimitReached
{
    None,
    Memory,
    Output,
    Frames,
    Seconds,
};

// Thrown when a run reached one of the recording's bounds: no other way would fare better.
// Caught once, where the conversion ends.
struct BoundReached
{
    LimitReached limit;
};

struct RunOutcome
{
    bool started = false;
    unsigned long startError = 0;      // GetLastError() when it could not start
    unsigned long exitCode = 0;
    bool stalled = false;              // stopped: no progress within the stall limit
    bool stoppedByEngine = false;      // stopped because the report asked for another run
    unsigned long long logBytes = 0;   // what ffmpeg wrote to stderr
    unsigned long long peakMemory = 0;          // ffmpeg's private memory at its highest seen
};

// Looks at a run's report as it grows and says whether the run goes on. Asked with a copy,
// outside the lock the progress reader takes: it may take its time.
class RunWatch
{
public:
    virtual ~RunWatch() = default;
    virtual bool GoesOn(const FfmpegReportParser& report) = 0;
};

// One ffmpeg run: its stderr goes straight into the log file (cheap even when a damaged
// recording makes it write thousands of lines) and is read back from there for the report
// parser through a handle of the engine's own; its progress blocks come on a pipe that a
// thread drains with blocking reads (only this process holds the read end). The engine's
// thread waits, reads the log, prints progress and stops ffmpeg when it stalls, when it
// reaches a bound, when its watch says so or when nobody reads the console any more.
class FfmpegRun
{
public:
    // Each run's stderr is appended to the work folder's log, after a header telling what
    // the run is for. The console is asked several times a second whether anybody reads it.
    FfmpegRun(const std::wstring& ffmpeg, WorkFolder& work, ProgressReporter& progress, unsigned long stallMs,
              Console& console, const RunLimits& limits = RunLimits());
    ~FfmpegRun();
    FfmpegRun(const FfmpegRun&) = delete;
    FfmpegRun& operator=(const FfmpegRun&) = delete;

    // One run, "run N: <what>" in the log. Throws Cancelled when it was stopped because
    // nobody reads the console, BoundReached when it reached a bound.
    RunOutcome Run(const std::string& what, const std::vector<std::string>& utf8Args,
                   const std::string& outputName = std::string(), RunWatch* watch = nullptr);

    // How long a run may make no progress before it is stopped.
    unsigned long StallMs() const { return m_stallMs; }
    // Valid after Run.
    const FfmpegReportParser& Report() const { return m_report; }
    const ProgressParser& Progress() const { return m_progress; }

private:
    struct Reader;
    static unsigned long __stdcall ReadLoop(void* param);
    void Feed(bool isProgress, const char* data, unsigned long size, std::string& pending);
    void OnLine(bool isProgress, const std::string& line);
    // Hands what ffmpeg added to the log since the last call to the report parser.
    void ReadLog(void* reader, std::string& pending);
    LimitReached Exceeded(double position, long long frames, long long written) const;
    RunOutcome Watched(const std::vector<std::string>& utf8Args, const std::string& outputName, RunWatch* watch,
                       LimitReached& limit, bool& abandoned);

    std::wstring m_ffmpeg;
    WorkFolder& m_work;
    ProgressReporter& m_reporter;
    unsigned long m_stallMs;
    Console& m_console;
    RunLimits m_limits;
    int m_runs = 0;
    void* m_lock;                      // CRITICAL_SECTION
    FfmpegReportParser m_report;
    ProgressParser m_progress;
    unsigned long m_lastAdvance = 0;
    double m_lastPosition = -1;
    long long m_lastBytes = -1;
    unsigned long long m_bytes = 0;
    int m_reportLines = 0;   // report lines so far: a watch is asked again only after new ones
};
