#pragma once

#include "ConversionPlanner.h"
#include "FfmpegReportParser.h"
#include "StreamChooser.h"
#include "FileIdentity.h"
#include "Mp4Inspector.h"
#include "WorkFolder.h"

#include <string>
#include <vector>

class ConsoleWriter;
class ProgressReporter;
class FfmpegRun;

// One conversion from start to verdict: checks the arguments and files, runs ffmpeg
// through the attempts, checks the MP4 and puts it in place. Run returns the exit code:
// 0 done, 1 bad arguments, 2 source unusable or same file as target, 3 ffmpeg.exe missing
// or cannot run, 4 target folder or file problem, 5 ffmpeg could not convert the recording.
class Conversion
{
public:
    Conversion(ConsoleWriter& console, unsigned long startTick);
    int Run(const std::vector<std::wstring>& args);

private:
    int CheckFiles();
    int Convert();
    // "Recording: ..." and, when streams are skipped, "Left out: ...".
    void Announce(const FfmpegReportParser& report, const StreamChoice& choice);
    int Verify(FfmpegRun& run, const Attempt& attempt, double duration);
    int Succeed(const Attempt& attempt);
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
    bool ReplaceTarget();
    std::wstring KeepBesideTarget();
    std::string AccessDeniedHint(const std::wstring& folder) const;
    void LogHeader(const std::string& text);
    void Line(const std::string& utf8);
    std::string Utf8(const std::wstring& text) const;

    ConsoleWriter& m_console;
    unsigned long m_startTick;
    unsigned long m_stallMs = 120000;
    std::wstring m_source;
    std::wstring m_target;
    std::wstring m_targetFolder;
    std::wstring m_ffmpeg;
    FileIdentity m_sourceId;
    WorkFolder m_work;
    bool m_fpsMode = true;
    bool m_clockMayJump = false;
    int m_attemptNumber = 0;
    Mp4Summary m_result;
    std::string m_lastReason;
};
