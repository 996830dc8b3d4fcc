#pragma once

#include "FfmpegReportParser.h"
#include "ProgressParser.h"

#include <functional>
#include <string>
#include <vector>

class ProgressReporter;

struct RunOutcome
{
    bool started = false;
    unsigned long startError = 0;      // GetLastError() when it could not start
    unsigned long exitCode = 0;
    bool stalled = false;              // stopped: no progress within the stall limit
    bool stoppedByEngine = false;      // stopped because the report asked for another run
    unsigned long long logBytes = 0;   // what ffmpeg wrote to stderr and stdout
};

// One ffmpeg run: its stderr goes to the log file and the report parser, its progress
// blocks to the progress parser, each pipe drained by a thread of its own (blocking reads
// on handles only this process holds). The engine's thread waits, prints progress and
// stops ffmpeg when it stalls or when keepGoing says so.
class FfmpegRun
{
public:
    typedef std::function<bool(const FfmpegReportParser&)> Decision;

    FfmpegRun(const std::wstring& ffmpeg, void* logFile, ProgressReporter& progress, unsigned long stallMs);
    ~FfmpegRun();

    RunOutcome Run(const std::vector<std::string>& utf8Args, const std::string& outputName,
                   const Decision& keepGoing);

    // Valid after Run.
    const FfmpegReportParser& Report() const { return m_report; }
    const ProgressParser& Progress() const { return m_progress; }

private:
    struct Reader;
    static unsigned long __stdcall ReadLoop(void* param);
    void OnLine(bool isProgress, const std::string& line);

    std::wstring m_ffmpeg;
    void* m_log;
    ProgressReporter& m_reporter;
    unsigned long m_stallMs;
    void* m_lock;                      // CRITICAL_SECTION
    FfmpegReportParser m_report;
    ProgressParser m_progress;
    unsigned long m_lastAdvance = 0;
    double m_lastPosition = -1;
    long long m_lastBytes = -1;
    unsigned long long m_bytes = 0;
};
