#pragma once

#include "ffmpeg/FfmpegReportParser.h"
#include "ffmpeg/ProgressParser.h"

#include <functional>
#include <string>
#include <vector>

class ProgressReporter;

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

struct RunOutcome
{
    bool started = false;
    unsigned long startError = 0;      // GetLastError() when it could not start
    unsigned long exitCode = 0;
    bool stalled = false;              // stopped: no progress within the stall limit
    bool stoppedByEngine = false;      // stopped because the report asked for another run
    bool abandoned = false;            // stopped: nobody waits for the conversion any more
    unsigned long long logBytes = 0;   // what ffmpeg wrote to stderr
    LimitReached limit = LimitReached::None;   // stopped (or cut short) at a bound
    unsigned long long peakMemory = 0;          // ffmpeg's private memory at its highest seen
};

// One ffmpeg run: its stderr goes straight into the log file (cheap even when a damaged
// recording makes it write thousands of lines) and is read back from there for the report
// parser through a handle of the engine's own; its progress blocks come on a pipe that a
// thread drains with blocking reads (only this process holds the read end). The engine's
// thread waits, reads the log, prints progress and stops ffmpeg when it stalls, when it
// reaches a limit, when keepGoing says so or when the conversion is abandoned.
class FfmpegRun
{
public:
    typedef std::function<bool(const FfmpegReportParser&)> Decision;
    typedef std::function<bool()> Abandoned;

    // logPath: the log file; each run's stderr is appended to it. abandoned is asked
    // between looks at ffmpeg, several times a second.
    FfmpegRun(const std::wstring& ffmpeg, const std::wstring& logPath, ProgressReporter& progress,
              unsigned long stallMs, const Abandoned& abandoned, const RunLimits& limits = RunLimits());
    ~FfmpegRun();

    RunOutcome Run(const std::vector<std::string>& utf8Args, const std::string& outputName,
                   const Decision& keepGoing);

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

    std::wstring m_ffmpeg;
    std::wstring m_logPath;
    ProgressReporter& m_reporter;
    unsigned long m_stallMs;
    Abandoned m_abandoned;
    RunLimits m_limits;
    void* m_lock;                      // CRITICAL_SECTION
    FfmpegReportParser m_report;
    ProgressParser m_progress;
    unsigned long m_lastAdvance = 0;
    double m_lastPosition = -1;
    long long m_lastBytes = -1;
    unsigned long long m_bytes = 0;
};
