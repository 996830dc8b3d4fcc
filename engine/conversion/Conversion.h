#pragma once

#include "conversion/ConversionPlanner.h"
#include "ffmpeg/FfmpegReportParser.h"
#include "conversion/StreamChooser.h"
#include "source/FileIdentity.h"
#include "mp4/Mp4Inspector.h"
#include "conversion/ResultReview.h"
#include "windows/WorkFolder.h"
#include "ffmpeg/FfmpegRun.h"
#include "windows/Console.h"
#include "source/SourceBounds.h"

#include <string>
#include <vector>

class ConsoleWriter;
class ProgressReporter;
class FfmpegRun;

// One conversion from start to verdict: checks the arguments and files, runs ffmpeg
// through the attempts, checks the MP4 and puts it in place. Run returns the exit code:
// 0 done, 1 bad arguments, 2 source unusable or same file as target, 3 ffmpeg.exe missing
// or cannot run, 4 target folder or file problem, 5 ffmpeg could not convert the recording
// (or the window that started the conversion went away: it stops then, leaving nothing).
class Conversion
{
public:
    Conversion(ConsoleWriter& console, unsigned long startTick);
    int Run(const std::vector<std::wstring>& args);

private:
    // Thrown when a run reached one of the recording's bounds: no other way would fare better.
    struct BoundReached
    {
        LimitReached limit;
    };

    int CheckFiles();
    // A source whose data is in the cloud only is downloaded before ffmpeg reads it: 0, or
    // the exit code of a download that failed.
    int FetchOnlineOnlySource();
    int Convert();
    // A recording whose index was never written is rebuilt into the work folder, and read
    // from there: an exit code, or -1 to go on.
    int RebuildMissingIndex(FfmpegRun& run);
    // Run 1: ffmpeg reads the recording (again, further, when a video's picture was not
    // found) and remuxes it as it picks the streams, until the report asks for another
    // way. Returns an exit code, or -1 to go on with the plan.
    int ReadRecording(FfmpegRun& run, RunOutcome& first);
    // Stops run 1 as soon as its report shows it is not the first attempt.
    bool FirstRunGoesOn(const FfmpegReportParser& report, bool deep);
    bool PlanStartsAsRunOne() const;
    bool FirstRunIsAttempt(const FfmpegReportParser& report, const RunOutcome& first) const;
    void MakePlan(const FfmpegReportParser& report, bool deep);
    // Why the recording's report alone rules it out (a picture or a stream count no camera
    // writes), or "".
    std::string RefusalByReport(const FfmpegReportParser& report) const;
    std::string BoundReason(LimitReached limit) const;
    // The recording's AMR sound, which ffmpeg reads only in part, goes to a file of its own.
    void ReadSoundApart(size_t track, bool wideband);
    // The bounds of a run reading pictures of `pixels` (0: not known yet).
    RunBounds Bounds(long long pixels) const;
    // The recording's video came without a picture even to the deeper look: an exit code
    // when it carries data (no result without it is a success), else -1.
    int RefuseUnreadableVideo(FfmpegRun& run);
    // What came of attempt m_plan[index]: an exit code, or -1 for the next attempt.
    int Judge(FfmpegRun& run, size_t index, const RunOutcome& outcome);
    // What the result check needs to know of the recording.
    ResultReview::Recording Facts() const;
    // "Recording: ..." and, when streams are skipped, "Left out: ...".
    void Announce(const FfmpegReportParser& report, const StreamChoice& choice);
    // The MP4 takes the recording's time, then its place.
    int Place(const Attempt& attempt);
    int Fail(int code, const std::string& reason);
    int FailKeepingLog(int code, const std::string& reason);
    int CannotRunFfmpeg(unsigned long error);
    int Stalled();
    // Write errors end the conversion at once (a lossy attempt cannot mend them): returns
    // the exit code, or -1 when another attempt may follow.
    int StopOnWriteError(const FfmpegReportParser& report, bool attemptFailed);
    // driveFull: known to be full whatever ffmpeg's words say.
    int WriteFailed(const std::string& ffmpegLine, bool driveFull = false);
    bool DriveFull() const;
    std::string AccessDeniedHint(const std::wstring& folder) const;
    // One ffmpeg run; throws Cancelled when it was stopped because nobody waits for it.
    RunOutcome RunFfmpeg(FfmpegRun& run, const std::vector<std::string>& args, const std::string& outputName,
                         const FfmpegRun::Decision& keepGoing = FfmpegRun::Decision());
    void LogHeader(const std::string& text);
    // "run N: <what>" in the log, for each ffmpeg run.
    void LogRun(const std::string& what);
    void Line(const std::string& utf8);
    // A path as people read it (and ffmpeg takes it), in UTF-8.
    std::string Utf8(const std::wstring& path) const;

    ConsoleWriter& m_console;
    unsigned long m_startTick;
    unsigned long m_stallMs = 120000;
    unsigned long m_heldWaitMs = 90000;   // a new MP4 another program holds is waited for
    std::wstring m_source;
    std::wstring m_readPath;   // what ffmpeg reads: the source, or its rebuilt copy
    std::wstring m_target;
    std::wstring m_targetFolder;
    std::wstring m_ffmpeg;
    FileIdentity m_sourceId;
    WorkFolder m_work;
    bool m_fpsMode = true;
    bool m_clockMayJump = false;
    bool m_noPresentationTimes = false;   // AVI, raw H.264/HEVC: decode order only
    bool m_retimeVideo = false;           // copied frames played out of order
    bool m_deeperLookNeeded = false;
    bool m_planned = false;
    bool m_announced = false;
    bool m_methodShown = false;
    bool m_firstRunIsAttempt = false;
    long long m_firstRunRoom = 0;
    double m_duration = -1;
    std::string m_openReason;
    std::string m_refusal;
    std::string m_largePicture;   // "7680x4320" when the main video is beyond 4K
    unsigned long long m_sourceBytes = 0;
    SourceBounds m_sourceBounds;
    std::string m_creationTime;
    StreamChoice m_choice;
    std::vector<Attempt> m_plan;
    int m_attemptNumber = 0;
    Mp4Summary m_result;
    std::string m_lastReason;
};
