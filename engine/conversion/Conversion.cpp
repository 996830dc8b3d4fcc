#include "conversion/Conversion.h"
#include "ffmpeg/FfmpegArguments.h"

#include "mp4/AmrTrack.h"
#include "windows/ConsoleWriter.h"
#include "mp4/Mp4TimeStamp.h"
#include "ffmpeg/FfmpegRun.h"
#include "rebuild/CutRecordingRepair.h"
#include "conversion/Placement.h"
#include "ffmpeg/ProgressReporter.h"
#include "rebuild/RecordingFolder.h"
#include "conversion/ResultReview.h"
#include "mp4/SummaryCheck.h"
#include "source/SourceDownload.h"
#include "source/SourceSniffer.h"
#include "conversion/StreamChooser.h"
#include "windows/TextFormat.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <cwchar>
#include <cwctype>

namespace {

std::wstring FullPath(const std::wstring& path)
{
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::wstring out(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &out[0], nullptr);
    out.resize(n);
    return out;
}

unsigned long SecondsFromEnvironment(const wchar_t* name, unsigned long fallbackMs)
{
    wchar_t buf[32];
    DWORD n = GetEnvironmentVariableW(name, buf, 32);
    if (n > 0 && n < 32) {
        long seconds = std::wcstol(buf, nullptr, 10);
        if (seconds > 0 && seconds < 24 * 3600)
            return static_cast<unsigned long>(seconds) * 1000;
    }
    return fallbackMs;
}

// The same attempt once more with ffmpeg closing the jumps of a clock that runs backwards.
Attempt ClockClosed(const Attempt& attempt)
{
    Attempt again = attempt;
    again.keepClock = false;
    again.method += "; again with the recording's clock jumps closed (it runs backwards)";
    return again;
}

bool SameMapping(const std::vector<int>& mapped, const StreamChoice& choice)
{
    size_t wanted = (choice.video >= 0 ? 1 : 0) + (choice.audio >= 0 ? 1 : 0);
    if (mapped.size() != wanted)
        return false;
    for (int m : mapped)
        if (m != choice.video && m != choice.audio)
            return false;
    return true;
}

} // namespace

Conversion::Conversion(ConsoleWriter& console, unsigned long startTick)
    : m_console(console), m_startTick(startTick), m_stallMs(SecondsFromEnvironment(L"QMCONVERT_STALL_SECONDS", 120000)),
      m_heldWaitMs(SecondsFromEnvironment(L"QMCONVERT_HELD_SECONDS", 90000)), m_sourceBounds(0, 1)
{
}

std::string Conversion::Utf8(const std::wstring& path) const
{
    return TextFormat::PathUtf8(path);
}

void Conversion::Line(const std::string& utf8)
{
    m_console.Line(utf8);
}

int Conversion::Fail(int code, const std::string& reason)
{
    m_work.Remove();
    Line("Conversion failed: " + reason);
    return code;
}

int Conversion::FailKeepingLog(int code, const std::string& reason)
{
    // ffmpeg's log goes beside the target, where the user looks for the MP4. Only a log of
    // an earlier run is replaced: a file of that name that is not one (the user's own, the
    // source itself) stays, and the log takes the next free name.
    m_work.CloseLog();
    for (int i = 0; i < 100 && !m_work.Path().empty(); ++i) {
        std::wstring log = m_target + (i == 0 ? std::wstring(L".log")
                                              : L".qmconvert" + (i == 1 ? std::wstring() : L" " + std::to_wstring(i)) +
                                                    L".log");
        DWORD attr = GetFileAttributesW(log.c_str());
        if (attr != INVALID_FILE_ATTRIBUTES && !WorkFolder::IsEngineLog(log))
            continue;
        if (MoveFileExW(m_work.LogPath().c_str(), log.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            Line("ffmpeg log: \"" + Utf8(log) + "\"");
        break;
    }
    return Fail(code, reason);
}

int Conversion::Run(const std::vector<std::wstring>& args)
{
    if (args.size() != 2 || args[0].empty() || args[1].empty()) {
        Line("Usage: qm.bat \"source recording\" \"target.mp4\"");
        return Fail(1, "source and target are needed, each in double quotes");
    }
    for (const std::wstring& a : args)
        if (a.find_first_of(L"*?") != std::wstring::npos)
            return Fail(1, "file names must not contain * or ?");
    // The engine's own file calls take paths of any length; what it prints and hands to
    // ffmpeg (which handles long paths itself) is the plain form.
    m_source = TextFormat::ExtendedPath(FullPath(args[0]));
    m_target = TextFormat::ExtendedPath(FullPath(args[1]));
    m_readPath = m_source;
    m_targetFolder = TextFormat::FolderOf(m_target);
    Line("Source: \"" + Utf8(m_source) + "\"");
    Line("Target: \"" + Utf8(m_target) + "\"");
    try {
        int code = CheckFiles();
        if (code != 0)
            return code;
        return Convert();
    } catch (const Cancelled&) {
        // The window was closed or started another conversion: its lines reach nobody.
        // ffmpeg is stopped; nothing of this run stays beside the recording.
        m_work.Remove();
        return 5;
    } catch (const BoundReached& b) {
        LogHeader("qmconvert stopped ffmpeg: it reached a bound of this recording");
        return FailKeepingLog(5, BoundReason(b.limit));
    } catch (const std::bad_alloc&) {
        // A 32-bit program's memory runs out before the machine's: a plain end, the folder clean.
        return Fail(5, "the recording needs more memory than qmconvert has (it is a 32-bit program); "
                       "close other programs and convert again");
    }
}

RunOutcome Conversion::RunFfmpeg(FfmpegRun& run, const std::vector<std::string>& args, const std::string& outputName,
                                 const FfmpegRun::Decision& keepGoing)
{
    RunOutcome outcome = run.Run(args, outputName, keepGoing);
    if (outcome.abandoned)
        throw Cancelled();
    if (outcome.limit != LimitReached::None)
        throw BoundReached{outcome.limit};
    return outcome;
}

int Conversion::CheckFiles()
{
    DWORD attr = GetFileAttributesW(m_source.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME)
            return Fail(2, "the source file does not exist");
        return Fail(2, "the source cannot be read: " + TextFormat::SystemMessage(error));
    }
    if (attr & FILE_ATTRIBUTE_DIRECTORY)
        return Fail(2, "the source is a folder, not a recording");
    HANDLE src = CreateFileW(m_source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (src == INVALID_HANDLE_VALUE)
        return Fail(2, "the source cannot be read: " + TextFormat::SystemMessage(GetLastError()));
    LARGE_INTEGER size;
    size.QuadPart = 0;
    GetFileSizeEx(src, &size);
    CloseHandle(src);
    if (size.QuadPart == 0)
        return Fail(2, "the source file is empty (0 bytes)");
    if (SourceDownload::OnlineOnly(attr)) {
        int fetched = FetchOnlineOnlySource();
        if (fetched != 0)
            return fetched;
    }
    unsigned long error = 0;
    std::string notRecording = SourceSniffer::Refusal(m_source, error);
    if (error != 0)
        return Fail(2, "the source cannot be read: " + TextFormat::SystemMessage(error));
    if (!notRecording.empty())
        return Fail(2, notRecording);
    m_sourceBytes = static_cast<unsigned long long>(size.QuadPart);
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    m_sourceBounds = SourceBounds(m_sourceBytes, system.dwNumberOfProcessors);
    if (!m_sourceId.Read(m_source, error))
        return Fail(2, "the source cannot be read: " + TextFormat::SystemMessage(error));

    DWORD folderAttr = GetFileAttributesW(m_targetFolder.c_str());
    if (folderAttr == INVALID_FILE_ATTRIBUTES || !(folderAttr & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(4, "the target folder \"" + Utf8(m_targetFolder) + "\" does not exist");
    DWORD targetAttr = GetFileAttributesW(m_target.c_str());
    if (targetAttr != INVALID_FILE_ATTRIBUTES) {
        if (targetAttr & FILE_ATTRIBUTE_DIRECTORY)
            return Fail(4, "the target is a folder; give a file name");
        // Compared by identity, not by text: a short 8.3 name, another case or another
        // path to the same file are all caught.
        FileIdentity targetId;
        if (targetId.Read(m_target, error) && targetId.SameFileAs(m_sourceId))
            return Fail(2, "the target is the source file itself; choose another target name");
    }

    wchar_t self[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::wstring home = TextFormat::FolderOf(std::wstring(self, n));
    m_ffmpeg = home + L"ffmpeg.exe";
    DWORD ffAttr = GetFileAttributesW(m_ffmpeg.c_str());
    if (ffAttr == INVALID_FILE_ATTRIBUTES || (ffAttr & FILE_ATTRIBUTE_DIRECTORY)) {
        Line("ffmpeg.exe was looked for in \"" + Utf8(home) + "\".");
        return Fail(3, "ffmpeg.exe is missing - perhaps quarantined by a virus scanner (Windows Security > "
                       "Protection history); put it back beside qm.bat");
    }

    WorkFolder::RemoveStale(m_target, SecondsFromEnvironment(L"QMCONVERT_STALE_SECONDS", 60000));
    // Some folders let a folder be made but not a file (the root of C:): the MP4 could
    // never be placed there, so that is found out before ffmpeg runs.
    DWORD workError = 0;
    wchar_t probeName[48];
    std::swprintf(probeName, 48, L".qm%lx.probe", GetCurrentProcessId());
    HANDLE probe = CreateFileW((m_target + probeName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        workError = GetLastError();
    else
        CloseHandle(probe);
    if (workError == 0)
        workError = m_work.Create(m_target);
    if (workError != 0) {
        std::string why = TextFormat::SystemMessage(workError);
        if (workError == ERROR_ACCESS_DENIED || workError == ERROR_WRITE_PROTECT)
            why = "access denied (read-only or no permission?)" + AccessDeniedHint(m_targetFolder);
        else if (workError == ERROR_DISK_FULL || workError == ERROR_HANDLE_DISK_FULL)
            why = "the drive is full";
        return Fail(4, "cannot create files in the target folder \"" + Utf8(m_targetFolder) + "\": " + why);
    }
    return 0;
}

int Conversion::FetchOnlineOnlySource()
{
    Line("Note: the recording is kept online only (OneDrive or another cloud folder); it is downloaded to "
         "this computer first");
    DWORD lastLine = GetTickCount();
    unsigned long error = SourceDownload::Fetch(m_source, m_stallMs, [&](long long bytes, long long size) {
        if (m_console.ReaderGone())
            return false;
        if (GetTickCount() - lastLine >= ProgressReporter::LineEveryMs) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "Downloading: %lld of %lld MB", bytes >> 20, size >> 20);
            Line(buf);
            lastLine = GetTickCount();
        }
        return true;
    });
    if (error == ERROR_CANCELLED)
        throw Cancelled();
    if (error == WAIT_TIMEOUT)
        return Fail(2, "the recording is kept online only and its download made no progress for " +
                           std::to_string(m_stallMs / 1000) + " s (offline, or the cloud client paused?)");
    if (error != 0)
        return Fail(2, "the recording is kept online only and could not be downloaded: " +
                           TextFormat::SystemMessage(error));
    return 0;
}

std::string Conversion::AccessDeniedHint(const std::wstring& folder) const
{
    static const wchar_t* const protectedFolders[] = {L"\\documents\\", L"\\my documents\\", L"\\pictures\\",
                                                      L"\\videos\\", L"\\music\\", L"\\desktop\\",
                                                      L"\\favorites\\"};
    std::wstring lower = folder;
    if (lower.empty() || lower.back() != L'\\')
        lower += L'\\';
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(towlower(c));
    for (const wchar_t* p : protectedFolders)
        if (lower.find(p) != std::wstring::npos)
            return "; Windows' Controlled Folder Access may be blocking it: allow qmconvert.exe and "
                   "ffmpeg.exe under Windows Security > Ransomware protection, or choose another folder";
    return std::string();
}

void Conversion::LogHeader(const std::string& text)
{
    if (!m_work.LogFile())
        return;
    std::string line = "\r\n===== " + text + " =====\r\n";
    DWORD done = 0;
    WriteFile(m_work.LogFile(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
}

void Conversion::LogRun(const std::string& what)
{
    ++m_attemptNumber;
    LogHeader("run " + std::to_string(m_attemptNumber) + ": " + what);
}

int Conversion::CannotRunFfmpeg(unsigned long error)
{
    std::string why = error && error != ERROR_BAD_EXE_FORMAT ? " (" + TextFormat::SystemMessage(error) + ")"
                                                             : " (damaged, or not a Windows program?)";
    // Smart App Control, a policy or a virus scanner stops an unsigned program from starting.
    // (Older headers lack the virus errors 225 and 226.)
    if (error == ERROR_ACCESS_DENIED || error == ERROR_ACCESS_DISABLED_BY_POLICY || error == 225 || error == 226 ||
        error == 4551 /* blocked by application control */)
        why += "; Windows or a virus scanner may have blocked it (see README.txt)";
    return Fail(3, "ffmpeg.exe could not be run: \"" + Utf8(m_ffmpeg) + "\"" + why);
}

int Conversion::Stalled()
{
    LogHeader("qmconvert stopped ffmpeg: no progress within the time limit");
    unsigned long s = m_stallMs / 1000;
    char buf[64];
    if (s % 60 == 0)
        std::snprintf(buf, sizeof buf, "%lu minute%s", s / 60, s == 60 ? "" : "s");
    else
        std::snprintf(buf, sizeof buf, "%lu second%s", s, s == 1 ? "" : "s");
    return FailKeepingLog(5, std::string("ffmpeg stopped: no progress for ") + buf +
                                 " (source unreachable, or ffmpeg stuck?)");
}

bool Conversion::DriveFull() const
{
    // What ffmpeg says of a full drive depends on the system (under Wine: "Invalid
    // argument", the same words as a timestamp error that a re-encode mends), so after a
    // failed attempt the drive itself is asked. The unfinished MP4 still takes its room.
    const unsigned long long nearlyFull = 1024 * 1024;
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExW(m_targetFolder.c_str(), &available, nullptr, nullptr) &&
           available.QuadPart < nearlyFull;
}

int Conversion::StopOnWriteError(const FfmpegReportParser& report, bool attemptFailed)
{
    if (report.WriteError())
        return WriteFailed(report.WriteErrorLine());
    if (attemptFailed && DriveFull())
        return WriteFailed(report.Reason(), true);
    return -1;
}

int Conversion::WriteFailed(const std::string& ffmpegLine, bool driveFull)
{
    std::string why;
    if (driveFull || TextFormat::Contains(ffmpegLine, "No space left") || TextFormat::Contains(ffmpegLine, "quota"))
        why = "the drive is full";
    else if (TextFormat::Contains(ffmpegLine, "File too large"))
        why = "the file is too large for the drive";
    else
        why = "access denied" + AccessDeniedHint(m_targetFolder);
    // FAT32 (most USB sticks) stops every file at 4 GiB. Asked through a handle of the
    // folder: a path beyond 260 characters is no obstacle.
    wchar_t fs[32] = L"";
    HANDLE folder = CreateFileW(m_targetFolder.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder != INVALID_HANDLE_VALUE) {
        if (!GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, nullptr, fs, 32))
            fs[0] = L'\0';
        CloseHandle(folder);
    }
    if (_wcsicmp(fs, L"FAT32") == 0 || _wcsicmp(fs, L"FAT") == 0) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(m_work.OutputPath().c_str(), GetFileExInfoStandard, &data) &&
            data.nFileSizeHigh == 0 && data.nFileSizeLow > 0xF0000000u)
            why = "the file is too large for the drive (FAT32 holds at most 4 GB per file)";
    }
    if (!ffmpegLine.empty())
        Line("ffmpeg says: \"" + ffmpegLine + "\"");
    return FailKeepingLog(4, "cannot write the MP4 in \"" + Utf8(m_targetFolder) + "\": " + why);
}

void Conversion::Announce(const FfmpegReportParser& report, const StreamChoice& choice)
{
    double duration = report.Duration();
    std::string what = "Recording: " + report.InputFormat() + ", " +
                       (duration > 0 ? TextFormat::Clock(duration) : std::string("length unknown"));
    for (int index : {choice.video, choice.audio}) {
        const StreamInfo* s = report.Stream(index);
        if (!s)
            continue;
        char buf[64];
        std::snprintf(buf, sizeof buf, "; %s #0:%d ", s->kind.c_str(), s->index);
        std::string extra;
        if (s->kind == "video")
            extra = " " + std::to_string(s->width) + "x" + std::to_string(s->height) +
                    (s->interlaced ? " interlaced" : "");
        else
            extra = " " + std::to_string(s->sampleRate) + " Hz";
        what += buf + s->codec + extra;
    }
    if (choice.video < 0 && choice.audio < 0)
        what += "; no usable audio or video stream";
    Line(what);
    if (!choice.leftOut.empty()) {
        std::string left = "Left out: ";
        for (size_t i = 0; i < choice.leftOut.size(); ++i)
            left += (i ? ", " : "") + choice.leftOut[i];
        Line(left);
    }
}

int Conversion::Convert()
{
    ProgressReporter reporter(m_console, m_startTick);
    RunLimits limits;
    limits.memoryBytes = SourceBounds::MemoryBytes;
    limits.outputBytes = m_sourceBounds.OutputBytes();
    limits.frames = m_sourceBounds.Frames();
    limits.seconds = m_sourceBounds.Seconds();
    FfmpegRun run(m_ffmpeg, m_work.LogPath(), reporter, m_stallMs, [this] { return m_console.ReaderGone(); },
                  limits);

    int code = RebuildMissingIndex(run);
    if (code >= 0)
        return code;
    // Most recordings are remuxed by the run that reads them.
    RunOutcome first;
    code = ReadRecording(run, first);
    if (code >= 0)
        return code;
    size_t next = 0;
    if (m_firstRunIsAttempt) {
        code = Judge(run, 0, first);
        if (code >= 0)
            return code;
        next = 1;
    }
    // Then the other ways, cheapest first; each result is checked before it is placed.
    for (; next < m_plan.size(); ++next) {
        Attempt& a = m_plan[next];
        if (m_retimeVideo && a.video >= 0 && !a.rebuildTimes) {
            if (a.copyVideo)
                continue;
            a.rebuildTimes = true;
        }
        Line("Method: " + a.method);
        LogRun(a.method);
        m_work.NextOutput();
        RunOutcome o = RunFfmpeg(run, FfmpegArguments::ForAttempt(a, Utf8(m_readPath), Utf8(m_work.OutputPath()), m_fpsMode),
                                 TextFormat::WideToUtf8(m_work.OutputName()));
        code = Judge(run, next, o);
        if (code >= 0)
            return code;
    }
    if (!m_openReason.empty())
        return FailKeepingLog(5, "ffmpeg cannot read the source (damaged or not a recording?): " + m_openReason);
    return FailKeepingLog(5, "ffmpeg could not convert the recording" +
                                 (m_lastReason.empty() ? std::string() : ": " + m_lastReason));
}

int Conversion::RebuildMissingIndex(FfmpegRun& run)
{
    uint64_t begin = 0, end = 0;
    if (!CutRecordingRepair::IndexMissing(m_source, begin, end))
        return -1;
    Line("Note: the recording's index was never written (power cut, or the card pulled out?); rebuilding it "
         "from its data");
    CutRecordingRepair rebuild(m_source, begin, end, RecordingFolder::Candidates(m_source, CutRecordingRepair::MostCandidates),
                         [this](const std::string& line) { Line(line); },
                         [this, &run](const std::wstring& trial) {
                             LogRun("does the rebuilt start decode with a finished recording's settings?");
                             RunOutcome o = RunFfmpeg(run, FfmpegArguments::TrialDecode(Utf8(trial), Bounds(0)),
                                                      std::string());
                             return o.started && !o.stalled && o.exitCode == 0 && run.Report().Lines() == 0;
                         });
    std::string why = rebuild.Rebuild(m_work.RebuiltPath(), [this] {
        if (m_console.ReaderGone())
            throw Cancelled();
    });
    if (!why.empty())
        return Fail(rebuild.WriteFailed() ? 4 : 2, why);
    m_readPath = m_work.RebuiltPath();
    return -1;
}

void Conversion::MakePlan(const FfmpegReportParser& report, bool deep)
{
    std::vector<StreamInfo> streams = report.Streams();
    // ffmpeg's report does not tell a still from a video; an MP4/MOV's own index does, one
    // track a stream, in order.
    Mp4Inspector index;
    index.WhileWanted([this] { return !m_console.ReaderGone(); });   // (run 1 waits on this: no throw)
    bool indexed = TextFormat::StartsWith(report.InputFormat(), "mov,") && index.ReadTracks(m_readPath) &&
                   index.Summary().tracks.size() == streams.size();
    if (indexed)
        for (size_t i = 0; i < streams.size(); ++i)
            if (streams[i].kind == "video")
                streams[i].frames = static_cast<long long>(index.Summary().tracks[i].samples);
    m_choice = StreamChooser::Choose(streams);
    m_plan = ConversionPlanner::Plan(streams, m_choice, report.InputFormat());
    for (Attempt& a : m_plan)
        a.dropPartialPackets = indexed && index.Summary().cutShort;
    if (indexed && m_choice.audio >= 0 && AmrTrack::IsAmr(index.Summary().tracks[m_choice.audio].format))
        ReadSoundApart(static_cast<size_t>(m_choice.audio), index.Summary().tracks[m_choice.audio].format == "sawb");
    const StreamInfo* video = report.Stream(m_choice.video);
    long long room = ConversionPlanner::IndexRoom(video, report.Stream(m_choice.audio),
                                                  ConversionPlanner::IsRawFormat(report.InputFormat())
                                                      ? -1 : report.Duration(),
                                                  m_sourceBytes);
    RunBounds bounds = Bounds(video ? static_cast<long long>(video->width) * video->height : 0);
    if (video && SourceBounds::BeyondFourK(video->width, video->height))
        m_largePicture = std::to_string(video->width) + "x" + std::to_string(video->height);
    for (Attempt& a : m_plan) {
        a.deepProbe = deep;
        a.indexRoom = a.ReadsRaw() ? 0 : room;
        a.bounds = bounds;
    }
    m_planned = true;
}

void Conversion::ReadSoundApart(size_t track, bool wideband)
{
    // ffmpeg reads only the first frame of each packed AMR sample: the frames go to a plain
    // AMR stream in the work folder, which the AMR reader reads whole.
    Mp4Inspector index;
    index.WhileWanted([this] { return !m_console.ReaderGone(); });
    index.KeepSamplesOf(track);
    std::wstring raw = m_work.SoundPath();
    if (!index.ReadTracks(m_readPath) || !AmrTrack::WriteRaw(m_readPath, index.Samples(), wideband, raw))
        return;   // read as ffmpeg reads it: the result check tells what that loses
    for (Attempt& a : m_plan)
        if (a.audio == m_choice.audio)
            a.audioInput = Utf8(raw);
}

RunBounds Conversion::Bounds(long long pixels) const
{
    RunBounds bounds;
    bounds.threads = m_sourceBounds.Threads(pixels);
    bounds.outputBytes = m_sourceBounds.OutputBytes();
    return bounds;
}

std::string Conversion::RefusalByReport(const FfmpegReportParser& report) const
{
    if (report.TooManyStreams())
        return "the recording declares more than " + std::to_string(SourceBounds::MaxStreams) +
               " streams; cameras write a few (damaged, or made to exhaust memory?)";
    for (const StreamInfo& s : report.Streams())
        if (s.kind == "video" && SourceBounds::PictureTooLarge(s.width, s.height))
            return "the recording declares pictures of " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                   ", larger than any camera writes (8K is 8192x4320; damaged, or made to exhaust memory?)";
    return std::string();
}

std::string Conversion::BoundReason(LimitReached limit) const
{
    std::string source = TextFormat::Size(m_sourceBytes);
    switch (limit) {
    case LimitReached::Memory:
        if (!m_largePicture.empty())
            return "ffmpeg needed more memory for pictures of " + m_largePicture + " than the " +
                   std::to_string(SourceBounds::MemoryBytes >> 20) +
                   " MB it may take, and was stopped (it re-encodes pictures up to 4K)";
        return "ffmpeg needed more memory for this recording than the " +
               std::to_string(SourceBounds::MemoryBytes >> 20) +
               " MB it may take, and was stopped (damaged, or made to exhaust memory?)";
    case LimitReached::Output:
        return "the MP4 grew past " + TextFormat::Size(m_sourceBounds.OutputBytes()) + " from a recording of " +
               source + " and was stopped: it repeats its pictures (damaged, or made to fill the disk?)";
    case LimitReached::Frames:
        return "ffmpeg read more than " + std::to_string(m_sourceBounds.Frames()) + " frames from a recording of " +
               source + ", more than its bytes can hold, and was stopped: it repeats its pictures (damaged, or "
               "made to fill the disk?)";
    default:
        return "ffmpeg read more than " + TextFormat::Clock(m_sourceBounds.Seconds()) +
               " of recording from a file of " + source + ", more than its bytes can hold, and was stopped "
               "(damaged, or made to run for hours?)";
    }
}

bool Conversion::PlanStartsAsRunOne() const
{
    // Run 1 copies what ffmpeg picks, with no tag of ours, into the room it was given.
    return m_planned && !m_plan.empty() && m_plan[0].tier == Tier::CopyBoth && !m_plan[0].hevcTag &&
           !m_plan[0].dropPartialPackets && m_plan[0].audioInput.empty() &&
           m_plan[0].indexRoom > 0 && m_plan[0].indexRoom <= m_firstRunRoom;
}

bool Conversion::FirstRunIsAttempt(const FfmpegReportParser& r, const RunOutcome& first) const
{
    return r.InputOpened() && !first.stoppedByEngine && PlanStartsAsRunOne() &&
           SameMapping(r.MappedInputs(), m_choice);
}

bool Conversion::FirstRunGoesOn(const FfmpegReportParser& r, bool deep)
{
    if (!r.InputReportComplete())
        return true;
    m_refusal = RefusalByReport(r);
    if (!m_refusal.empty())
        return false;
    if (!deep && r.VideoParametersMissing()) {
        m_deeperLookNeeded = true;
        return false;
    }
    if (!m_planned)
        MakePlan(r, deep);
    if (!m_announced) {
        Announce(r, m_choice);
        m_announced = true;
    }
    if (!PlanStartsAsRunOne())
        return false;
    for (int m : r.MappedInputs())
        if (m != m_choice.video && m != m_choice.audio)
            return false;
    if (!r.MappingComplete())
        return true;
    if (!SameMapping(r.MappedInputs(), m_choice))
        return false;
    if (!m_methodShown) {
        Line("Method: " + m_plan[0].method);
        m_methodShown = true;
    }
    return true;
}

int Conversion::ReadRecording(FfmpegRun& run, RunOutcome& first)
{
    m_firstRunRoom = ConversionPlanner::IndexRoomForSize(m_sourceBytes);
    bool deep = false;
    for (;;) {
        // (Run 1's header is what tells the engine's own logs from a user's file.)
        LogRun(deep ? "reading the recording again, further (a video's picture was not found)"
                    : "reading the recording, streams copied as ffmpeg picks them");
        first = RunFfmpeg(run,
                          FfmpegArguments::FirstRun(Utf8(m_readPath), Utf8(m_work.OutputPath()), deep,
                                                               m_firstRunRoom, Bounds(0)),
                          "output.mp4", [this, deep](const FfmpegReportParser& r) { return FirstRunGoesOn(r, deep); });
        if (!first.started)
            return CannotRunFfmpeg(first.startError);
        if (first.stalled)
            return Stalled();
        if (m_refusal.empty())
            m_refusal = RefusalByReport(run.Report());
        if (!m_refusal.empty())
            return Fail(2, m_refusal);
        if (deep || !(m_deeperLookNeeded || run.Report().VideoParametersMissing()))
            break;
        deep = true;   // long keyframe intervals: the picture comes later in the file
    }
    if (first.stoppedByEngine)
        LogHeader("run stopped by qmconvert: the recording needs another stream choice or way");
    const FfmpegReportParser& report = run.Report();
    m_fpsMode = report.HasFpsMode();
    m_creationTime = report.CreationTime();
    int stop = StopOnWriteError(report, first.exitCode != 0 && !first.stoppedByEngine);
    if (stop >= 0)
        return stop;

    const std::string& format = report.InputFormat();
    m_clockMayJump = format == "mpegts" || format == "mpeg" || format == "mpegvideo" || format == "vob";
    m_noPresentationTimes = format == "avi" || ConversionPlanner::IsRawFormat(format);
    m_duration = ConversionPlanner::IsRawFormat(format) ? -1 : report.Duration();
    if (!report.InputOpened()) {
        if (first.exitCode != 0 && first.logBytes == 0)
            return CannotRunFfmpeg(0);
        m_lastReason = m_openReason = report.Reason();
        Line("ffmpeg cannot read the source as a recording: \"" + m_lastReason + "\"");
        m_choice = StreamChoice();
        m_plan = ConversionPlanner::RawAttempts();
        for (Attempt& a : m_plan)
            a.bounds = Bounds(0);
        m_noPresentationTimes = true;
        m_duration = -1;
        return -1;
    }
    if (!m_planned)
        MakePlan(report, deep);
    if (!m_announced)
        Announce(report, m_choice);
    m_firstRunIsAttempt = FirstRunIsAttempt(report, first);
    if (m_firstRunIsAttempt && !m_methodShown)
        Line("Method: " + m_plan[0].method);
    return report.VideoParametersMissing() ? RefuseUnreadableVideo(run) : -1;
}

int Conversion::RefuseUnreadableVideo(FfmpegRun& run)
{
    std::vector<StreamInfo> streams = run.Report().Streams();
    for (const StreamInfo& s : streams) {
        if (!s.PictureMissing())
            continue;
        LogRun("does video #0:" + std::to_string(s.index) + " carry data?");
        RunOutcome o =
            RunFfmpeg(run, FfmpegArguments::Decode(s.index, Utf8(m_readPath), Bounds(0)), std::string());
        if (o.started && !o.stalled && (run.Progress().Frames() > 0 || run.Report().DecodeErrors() > 0))
            return FailKeepingLog(5, "the recording's video (#0:" + std::to_string(s.index) + " " + s.codec +
                                         ") carries data, but ffmpeg finds no picture in it (damaged, or a "
                                         "keyframe interval of minutes?); an MP4 without it would not be the "
                                         "recording");
    }
    return -1;
}

int Conversion::Judge(FfmpegRun& run, size_t index, const RunOutcome& o)
{
    const Attempt a = m_plan[index];
    if (!o.started)
        return CannotRunFfmpeg(o.startError);
    if (o.stalled)
        return Stalled();
    int stop = StopOnWriteError(run.Report(), o.exitCode != 0);
    if (stop >= 0)
        return stop;
    if (o.exitCode != 0) {
        m_lastReason = run.Report().Reason();
        if (m_lastReason.empty())
            m_lastReason = "ffmpeg stopped with exit code " + std::to_string(o.exitCode);
        Line("Attempt failed: " + m_lastReason);
        if (a.keepClock && run.Report().ClockTrouble())
            m_plan.insert(m_plan.begin() + static_cast<long>(index) + 1, ClockClosed(a));
        else if (a.indexRoom > 0 && run.Report().IndexRoomTooSmall()) {
            Attempt again = a;   // the index did not fit the room kept for it
            again.indexRoom = 0;
            m_plan.insert(m_plan.begin() + static_cast<long>(index) + 1, again);
        }
        return -1;
    }
    ResultReview review(
        Facts(), run,
        [this, &run](const std::string& what, const std::vector<std::string>& args) {
            LogRun(what);
            return RunFfmpeg(run, args, std::string());
        },
        [this](const std::string& line) { Line(line); });
    std::string why = review.Check(a);
    if (why.empty() && review.FramesOutOfOrder(a)) {
        m_lastReason = "the copied video would play its frames out of order (B-frames without presentation times)";
        Line("Attempt failed: " + m_lastReason);
        m_retimeVideo = true;
        m_plan.insert(m_plan.begin() + static_cast<long>(index) + 1, ConversionPlanner::TimesRebuilt(a));
        return -1;
    }
    if (why.empty())
        why = review.CheckEnds(a);
    if (!why.empty()) {
        stop = StopOnWriteError(run.Report(), true);
        if (stop >= 0)
            return stop;
        m_lastReason = "the result failed its check: " + why;
        Line("Attempt failed: " + m_lastReason);
        return -1;
    }
    m_result = review.Result();
    return Place(a);
}

ResultReview::Recording Conversion::Facts() const
{
    ResultReview::Recording recording;
    recording.source = Utf8(m_readPath);
    recording.output = m_work.OutputPath();
    recording.duration = m_duration;
    recording.clockMayJump = m_clockMayJump;
    recording.noPresentationTimes = m_noPresentationTimes;
    recording.bounds = Bounds(0);
    return recording;
}

int Conversion::Place(const Attempt& attempt)
{
    std::string when = Mp4TimeStamp::KeepRecordingTime(m_work.OutputPath(), m_source, m_creationTime);
    if (!when.empty())
        Line("Note: the MP4 keeps " + when);
    Line("Result: " + SummaryCheck::Describe(m_result) + "; " + attempt.done);
    for (const Mp4Track& t : m_result.tracks)
        if (t.format == "hvc1" || t.format == "hev1")
            Line("Note: Windows' own player shows HEVC only with Microsoft's \"HEVC Video Extensions\" "
                 "(Microsoft Store); VLC plays it as it is");
    if (m_console.ReaderGone())
        throw Cancelled();
    m_work.CloseLog();
    Placement placement(m_work, m_target, m_heldWaitMs, m_console);
    std::string failure = placement.Place();
    if (!failure.empty())
        return FailKeepingLog(4, failure);
    // A log left by an earlier failed run on this target no longer tells anything; a file of
    // that name the engine did not write is the user's.
    std::wstring oldLog = m_target + L".log";
    if (WorkFolder::IsEngineLog(oldLog))
        DeleteFileW(oldLog.c_str());
    m_work.Remove();
    Line("Conversion succeeded: \"" + Utf8(m_target) + "\"");
    return 0;
}
