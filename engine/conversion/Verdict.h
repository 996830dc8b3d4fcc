#pragma once

#include "ffmpeg/FfmpegRun.h"
#include "source/SourceBounds.h"

#include <string>
#include <utility>

class Console;
class WorkFolder;

enum class ExitCode
{
    Converted = 0,
    BadArguments = 1,
    SourceUnusable = 2,   // or the same file as the target
    FfmpegUnusable = 3,   // ffmpeg.exe missing or it cannot run
    TargetProblem = 4,    // the target folder or file
    NotConverted = 5,     // ffmpeg could not convert it (or the window went away)
};

// Why a conversion ends without its MP4. An empty one lets the conversion go on.
struct Failure
{
    ExitCode code = ExitCode::Converted;
    std::string reason;
    bool keepLog = false;      // ffmpeg's log goes beside the target
    std::string logHeader;     // written into the log first: why the engine stopped ffmpeg
    std::string ffmpegSays;    // ffmpeg's own words, shown before the verdict

    explicit operator bool() const { return code != ExitCode::Converted; }
};

// What a step hands on, or why the conversion ends there.
template <typename T>
struct Outcome
{
    Outcome(T v) : value(std::move(v)) {}
    Outcome(Failure f) : failure(std::move(f)) {}
    T value{};
    Failure failure;
};

// Every way a conversion ends: the failures' wording and exit codes, and the last lines.
class Verdict
{
public:
    Verdict(Console& console, WorkFolder& work, const std::wstring& target);

    static Failure Fail(ExitCode code, const std::string& reason);
    static Failure FailKeepingLog(ExitCode code, const std::string& reason);
    static Failure CannotRunFfmpeg(unsigned long error, const std::wstring& ffmpeg);
    static Failure Stalled(unsigned long stallMs);
    // Write errors end the conversion at once (a lossy attempt cannot mend them): empty
    // when another attempt may follow.
    static Failure StopOnWriteError(const FfmpegReportParser& report, bool attemptFailed,
                                    const std::wstring& targetFolder, const std::wstring& output);
    // "" or the hint that Windows' Controlled Folder Access guards this folder.
    static std::string AccessDeniedHint(const std::wstring& folder);

    // What a bound's reason tells, as the conversion learns it.
    void Recording(unsigned long long bytes, const SourceBounds& bounds)
    {
        m_bytes = bytes;
        m_bounds = bounds;
    }
    void LargePicture(const std::string& size) { m_largePicture = size; }
    Failure Bound(LimitReached limit) const;

    // The conversion's exit code after its last lines.
    int End(const Failure& failure);
    int Succeeded();
    // Nobody reads the lines any more: nothing is said, nothing stays.
    int Abandoned();

private:
    static Failure WriteFailed(const std::string& ffmpegLine, bool driveFull, const std::wstring& targetFolder,
                               const std::wstring& output);
    void MoveLogBesideTarget();

    Console& m_console;
    WorkFolder& m_work;
    std::wstring m_target;
    unsigned long long m_bytes = 0;
    SourceBounds m_bounds{0, 1};
    std::string m_largePicture;   // "7680x4320" when the main video is beyond 4K
};
