#include "conversion/Conversion.h"

#include "conversion/Attempts.h"
#include "conversion/Placement.h"
#include "conversion/Probe.h"
#include "conversion/Repair.h"
#include "conversion/Verdict.h"
#include "ffmpeg/FfmpegRun.h"
#include "ffmpeg/ProgressReporter.h"
#include "join/ChapterJoin.h"
#include "mp4/Mp4TimeStamp.h"
#include "mp4/SummaryCheck.h"
#include "windows/Console.h"
#include "windows/TextFormat.h"

#include <windows.h>

#include <cstdio>
#include <new>

namespace {

RunLimits Limits(const SourceBounds& bounds)
{
    RunLimits limits;
    limits.memoryBytes = SourceBounds::MemoryBytes;
    limits.outputBytes = bounds.OutputBytes();
    limits.frames = bounds.Frames();
    limits.seconds = bounds.Seconds();
    return limits;
}

// What the user reads of the MP4 before it takes the target's place.
void Describe(Console& console, const Converted& converted)
{
    // ffmpeg writes a timecode only where it can read one at the video's rate: said, not failed.
    Attempt shown = converted.attempt;
    bool timecode = false;
    for (const Mp4Track& t : converted.result.tracks)
        timecode = timecode || t.handler == "tmcd";
    if (shown.timecode && !timecode)
        console.Line("Note: the recording's timecode could not be written into the MP4 (ffmpeg did not take it "
                     "at the video's frame rate)");
    shown.timecode = shown.timecode && timecode;
    std::string kept = shown.KeptNames();
    std::string lost;
    for (const std::string& n : shown.notKept)
        lost += (lost.empty() ? "; not kept: " : "; ") + n;
    console.Line("Result: " + SummaryCheck::Describe(converted.result) + "; " + shown.done +
                 (kept.empty() ? std::string() : " + " + kept) + lost);
    for (const Mp4Track& t : converted.result.tracks)
        if (t.format == "hvc1" || t.format == "hev1")
            console.Line("Note: Windows' own player shows HEVC only with Microsoft's \"HEVC Video Extensions\" "
                         "(Microsoft Store); VLC plays it as it is");
}

} // namespace

Conversion::Conversion(Console& console, unsigned long startTick)
    : m_console(console), m_startTick(startTick), m_patience(Patience::FromEnvironment())
{
}

int Conversion::Run(const std::vector<std::wstring>& args)
{
    Preflight preflight(m_console, m_patience);
    Outcome<ConversionPaths> paths = preflight.Arguments(args);
    Verdict verdict(m_console, m_work, paths.value.target);
    if (paths.failure)
        return verdict.End(paths.failure);
    // Cancellation and the bounds are thrown from any depth and end here.
    try {
        return Convert(preflight, paths.value, verdict);
    } catch (const Cancelled&) {
        return verdict.Abandoned();
    } catch (const BoundReached& b) {
        return verdict.End(verdict.Bound(b.limit));
    } catch (const std::bad_alloc&) {
        // A 32-bit program's memory runs out before the machine's: a plain end, the folder clean.
        return verdict.End(Verdict::Fail(ExitCode::NotConverted,
                                         "the recording needs more memory than qmconvert has (it is a 32-bit "
                                         "program); close other programs and convert again"));
    }
}

Outcome<std::wstring> Conversion::Joined(const std::wstring& first, JoinedFile& wrote)
{
    std::vector<std::wstring> chapters(1, first);
    chapters.insert(chapters.end(), m_later.begin(), m_later.end());
    std::string names;
    for (const std::wstring& c : chapters)
        names += (names.empty() ? "" : ", ") + TextFormat::NameUtf8(c);
    m_console.Line("Joining " + std::to_string(chapters.size()) + " chapters of one recording without re-encoding: " +
                   names);
    bool writeFailed = false;
    std::string why = ChapterJoin::Write(chapters, m_work.JoinedPath(), m_console, writeFailed, wrote);
    if (!why.empty())
        return Verdict::Fail(writeFailed ? ExitCode::TargetProblem : ExitCode::SourceUnusable, why);
    return m_work.JoinedPath();
}

// The checked MP4 takes the target's place; the verdict.
int Conversion::Place(const std::wstring& target, Verdict& verdict)
{
    m_console.StopIfGone();
    m_work.CloseLog();
    std::string unplaced = Placement(m_work, target, m_patience.heldWaitMs, m_console).Place();
    if (!unplaced.empty())
        return verdict.End(Verdict::FailKeepingLog(ExitCode::TargetProblem, unplaced));
    return verdict.Succeeded();
}

// MP4 chapters joined are the MP4: checked, dated and put in place without another copy.
int Conversion::PlaceJoined(const ConversionPaths& paths, Verdict& verdict, const JoinedFile& joined,
                            const Mp4Summary& result)
{
    if (!MoveFileW(m_work.JoinedPath().c_str(), m_work.OutputPath().c_str()))
        return verdict.End(Verdict::Fail(ExitCode::TargetProblem, "the joined MP4 could not be moved into place: " +
                                                                      TextFormat::SystemMessage(GetLastError())));
    std::string created;
    if (joined.createdSeconds) {
        // Seconds since 1904 as a FILETIME (100 ns since 1601), then as ffmpeg writes it.
        ULARGE_INTEGER at;
        at.QuadPart = (joined.createdSeconds + 9561628800ULL) * 10000000ULL;
        FILETIME ft = {at.LowPart, at.HighPart};
        SYSTEMTIME st;
        char text[32];
        if (FileTimeToSystemTime(&ft, &st)) {
            std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                          st.wMinute, st.wSecond);
            created = text;
        }
    }
    std::string when = Mp4TimeStamp::KeepRecordingTime(m_work.OutputPath(), paths.source, created);
    if (!when.empty())
        m_console.Line("Note: the MP4 keeps " + when);
    m_console.Line("Method: joined as they are (the chapters are MP4 already), checked");
    std::string others = ChapterJoin::OtherTracks(result);
    m_console.Line("Result: " + SummaryCheck::Describe(result) + "; joined without re-encoding" +
                   (others.empty() ? std::string() : " + " + others));
    return Place(paths.target, verdict);
}

int Conversion::Convert(Preflight& preflight, ConversionPaths& paths, Verdict& verdict)
{
    Outcome<SourceFile> file = preflight.Check(paths, m_work);
    if (file.failure)
        return verdict.End(file.failure);
    verdict.Recording(file.value.bytes, file.value.bounds);

    if (!m_later.empty()) {
        // ffmpeg reads every chapter: its bounds are the whole recording's.
        for (const std::wstring& chapter : m_later) {
            WIN32_FILE_ATTRIBUTE_DATA a;
            if (GetFileAttributesExW(chapter.c_str(), GetFileExInfoStandard, &a))
                file.value.bytes += (static_cast<unsigned long long>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
        }
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        file.value.bounds = SourceBounds(file.value.bytes, system.dwNumberOfProcessors);
        verdict.Recording(file.value.bytes, file.value.bounds);
    }

    ProgressReporter reporter(m_console, m_startTick);
    FfmpegRun run(paths.ffmpeg, m_work, reporter, m_patience.stallMs, m_console, Limits(file.value.bounds));
    JoinedFile joined;
    Outcome<std::wstring> readPath = m_later.empty()
                                         ? Repair::ReadableCopy(paths.source, file.value.bounds, m_work, run, m_console)
                                         : Joined(paths.source, joined);
    if (readPath.failure)
        return verdict.End(readPath.failure);
    if (joined.mp4) {
        Mp4Summary read;
        std::string unchecked = ChapterJoin::Check(readPath.value, joined, read);
        if (unchecked.empty())
            return PlaceJoined(paths, verdict, joined, read);
        m_console.Line("Note: the joined chapters are remuxed by ffmpeg after all (" + unchecked + ")");
    }

    Probe probe(run, m_work, m_console, verdict);
    Outcome<Probed> probed = probe.Read(paths, readPath.value, file.value);
    if (probed.failure)
        return verdict.End(probed.failure);
    const RecordingFacts& facts = probed.value.facts;

    Attempts attempts(run, m_work, m_console, paths, facts);
    Outcome<Converted> converted = attempts.Convert(probed.value);
    if (converted.failure)
        return verdict.End(converted.failure);

    // The MP4 takes the recording's time, then its place.
    std::string when = Mp4TimeStamp::KeepRecordingTime(m_work.OutputPath(), facts.source, facts.creationTime);
    if (!when.empty())
        m_console.Line("Note: the MP4 keeps " + when);
    Describe(m_console, converted.value);
    return Place(paths.target, verdict);
}
