#include "conversion/Probe.h"

#include "conversion/ConversionPlanner.h"
#include "ffmpeg/FfmpegArguments.h"
#include "mp4/AmrTrack.h"
#include "mp4/Mp4Inspector.h"
#include "windows/Console.h"
#include "windows/TextFormat.h"
#include "windows/WorkFolder.h"

#include <cstdio>

namespace {

std::string Utf8(const std::wstring& path)
{
    return TextFormat::PathUtf8(path);
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

// Why the recording's report alone rules it out (a picture or a stream count no camera
// writes), or "".
std::string RefusalByReport(const FfmpegReportParser& report)
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

} // namespace

// Decides as run 1's report grows whether the run goes on: the plan is made as soon as the
// streams are known, and the run is stopped when it is not the plan's first way.
class Probe::Watch : public RunWatch
{
public:
    Watch(Probe& probe, bool deep, long long room) : m_probe(probe), m_deep(deep), m_room(room) {}

    bool GoesOn(const FfmpegReportParser& r) override
    {
        if (!r.InputReportComplete())
            return true;
        refusal = RefusalByReport(r);
        if (!refusal.empty())
            return false;
        if (!m_deep && r.VideoParametersMissing()) {
            deeperLookNeeded = true;
            return false;
        }
        if (!m_probe.m_planned)
            m_probe.MakePlan(r, m_deep);
        if (!m_probe.m_announced) {
            m_probe.Announce(r);
            m_probe.m_announced = true;
        }
        const StreamChoice& choice = m_probe.m_probed.choice;
        if (!m_probe.PlanStartsAsRunOne(m_room))
            return false;
        for (int m : r.MappedInputs())
            if (m != choice.video && m != choice.audio)
                return false;
        if (!r.MappingComplete())
            return true;
        if (!SameMapping(r.MappedInputs(), choice))
            return false;
        if (!m_probe.m_methodShown) {
            m_probe.m_console.Line("Method: " + m_probe.m_probed.plan[0].method);
            m_probe.m_methodShown = true;
        }
        return true;
    }

    std::string refusal;
    bool deeperLookNeeded = false;

private:
    Probe& m_probe;
    bool m_deep;
    long long m_room;
};

Probe::Probe(FfmpegRun& run, WorkFolder& work, Console& console, Verdict& verdict)
    : m_run(run), m_work(work), m_console(console), m_verdict(verdict)
{
}

Outcome<Probed> Probe::Read(const ConversionPaths& paths, const std::wstring& readPath, const SourceFile& file)
{
    RecordingFacts& facts = m_probed.facts;
    facts.source = paths.source;
    facts.readPath = readPath;
    facts.bytes = file.bytes;
    facts.bounds = file.bounds;
    const long long room = ConversionPlanner::IndexRoomForSize(file.bytes);
    RunOutcome& first = m_probed.first;
    bool deep = false;
    for (;;) {
        Watch watch(*this, deep, room);
        first = m_run.Run(deep ? "reading the recording again, further (a video's picture was not found)"
                               : "reading the recording, streams copied as ffmpeg picks them",
                          FfmpegArguments::FirstRun(Utf8(readPath), Utf8(m_work.OutputPath()), deep, room,
                                                    BoundsFor(file.bounds, 0)),
                          "output.mp4", &watch);
        if (!first.started)
            return Verdict::CannotRunFfmpeg(first.startError, paths.ffmpeg);
        if (first.stalled)
            return Verdict::Stalled(m_run.StallMs());
        std::string refusal = watch.refusal.empty() ? RefusalByReport(m_run.Report()) : watch.refusal;
        if (!refusal.empty())
            return Verdict::Fail(ExitCode::SourceUnusable, refusal);
        if (deep || !(watch.deeperLookNeeded || m_run.Report().VideoParametersMissing()))
            break;
        deep = true;   // long keyframe intervals: the picture comes later in the file
    }
    if (first.stoppedByEngine)
        m_work.LogHeader("run stopped by qmconvert: the recording needs another stream choice or way");
    const FfmpegReportParser& report = m_run.Report();
    TakeFacts(report);
    if (Failure f = Verdict::StopOnWriteError(report, first.exitCode != 0 && !first.stoppedByEngine,
                                              paths.targetFolder, m_work.OutputPath()))
        return f;
    if (!report.InputOpened()) {
        if (first.exitCode != 0 && first.logBytes == 0)
            return Verdict::CannotRunFfmpeg(0, paths.ffmpeg);
        facts.openReason = report.Reason();
        m_console.Line("ffmpeg cannot read the source as a recording: \"" + facts.openReason + "\"");
        m_probed.choice = StreamChoice();
        m_probed.plan = ConversionPlanner::RawAttempts();
        for (Attempt& a : m_probed.plan)
            a.bounds = BoundsFor(facts.bounds, 0);
        facts.noPresentationTimes = true;
        facts.duration = -1;
        return m_probed;
    }
    if (!m_planned)
        MakePlan(report, deep);
    if (!m_announced)
        Announce(report);
    m_probed.firstRunIsAttempt = !first.stoppedByEngine && PlanStartsAsRunOne(room) &&
                                 SameMapping(report.MappedInputs(), m_probed.choice);
    if (m_probed.firstRunIsAttempt && !m_methodShown)
        m_console.Line("Method: " + m_probed.plan[0].method);
    if (report.VideoParametersMissing())
        if (Failure f = RefuseUnreadableVideo())
            return f;
    return m_probed;
}

void Probe::TakeFacts(const FfmpegReportParser& report)
{
    RecordingFacts& facts = m_probed.facts;
    facts.fpsMode = report.HasFpsMode();
    facts.creationTime = report.CreationTime();
    facts.format = report.InputFormat();
    const std::string& format = facts.format;
    facts.clockMayJump = format == "mpegts" || format == "mpeg" || format == "mpegvideo" || format == "vob";
    facts.noPresentationTimes = format == "avi" || ConversionPlanner::IsRawFormat(format);
    facts.duration = ConversionPlanner::IsRawFormat(format) ? -1 : report.Duration();
}

void Probe::MakePlan(const FfmpegReportParser& report, bool deep)
{
    const RecordingFacts& facts = m_probed.facts;
    std::vector<StreamInfo> streams = report.Streams();
    // ffmpeg's report does not tell a still from a video; an MP4/MOV's own index does, one
    // track a stream, in order.
    Mp4Inspector index;
    Console& console = m_console;
    index.WhileWanted([&console] { return !console.ReaderGone(); });   // (run 1 waits on this: no throw)
    bool indexed = TextFormat::StartsWith(report.InputFormat(), "mov,") && index.ReadTracks(facts.readPath) &&
                   index.Summary().tracks.size() == streams.size();
    if (indexed)
        for (size_t i = 0; i < streams.size(); ++i)
            if (streams[i].kind == "video")
                streams[i].frames = static_cast<long long>(index.Summary().tracks[i].samples);
    StreamChoice& choice = m_probed.choice;
    std::vector<Attempt>& plan = m_probed.plan;
    choice = StreamChooser::Choose(streams);
    plan = ConversionPlanner::Plan(streams, choice, report.InputFormat());
    KeepBeside(report, indexed ? &index.Summary() : nullptr);
    for (Attempt& a : plan)
        a.dropPartialPackets = indexed && index.Summary().cutShort;
    if (indexed && choice.audio >= 0 && AmrTrack::IsAmr(index.Summary().tracks[choice.audio].format))
        ReadSoundApart(static_cast<size_t>(choice.audio), index.Summary().tracks[choice.audio].format == "sawb");
    const StreamInfo* video = report.Stream(choice.video);
    long long room = ConversionPlanner::IndexRoom(video, report.Stream(choice.audio),
                                                  ConversionPlanner::IsRawFormat(report.InputFormat())
                                                      ? -1 : report.Duration(),
                                                  facts.bytes);
    RunBounds bounds = BoundsFor(facts.bounds, video ? static_cast<long long>(video->width) * video->height : 0);
    if (video && SourceBounds::BeyondFourK(video->width, video->height))
        m_verdict.LargePicture(std::to_string(video->width) + "x" + std::to_string(video->height));
    for (Attempt& a : plan) {
        a.deepProbe = deep;
        a.indexRoom = a.ReadsRaw() ? 0 : room;
        a.bounds = bounds;
    }
    m_planned = true;
}

void Probe::KeepBeside(const FfmpegReportParser& report, const Mp4Summary* index)
{
    // Keys beyond what an MP4's own tags hold (a phone's "com.apple.quicktime.*") go in as
    // keys; its place also as the location players read (©xyz).
    bool keys = false, location = false;
    std::string place;
    for (const std::pair<std::string, std::string>& tag : report.Tags()) {
        keys = keys || TextFormat::StartsWith(tag.first, "com.");
        location = location || tag.first == "location";
        if (tag.first == "com.apple.quicktime.location.ISO6709")
            place = tag.second;
    }
    for (Attempt& a : m_probed.plan) {
        if (a.ReadsRaw())
            continue;
        a.timecode = !report.Timecode().empty() && a.video >= 0;
        a.metadataKeys = keys;
        a.location = location ? std::string() : place;
        for (KeptStream& k : a.kept)
            if (index && k.index >= 0 && static_cast<size_t>(k.index) < index->tracks.size())
                k.samples = static_cast<long long>(index->tracks[static_cast<size_t>(k.index)].samples);
    }
}

void Probe::ReadSoundApart(size_t track, bool wideband)
{
    // ffmpeg reads only the first frame of each packed AMR sample: the frames go to a plain
    // AMR stream in the work folder, which the AMR reader reads whole.
    const std::wstring& readPath = m_probed.facts.readPath;
    Mp4Inspector index;
    Console& console = m_console;
    index.WhileWanted([&console] { return !console.ReaderGone(); });
    index.KeepSamplesOf(track);
    std::wstring raw = m_work.SoundPath();
    if (!index.ReadTracks(readPath) || !AmrTrack::WriteRaw(readPath, index.Samples(), wideband, raw))
        return;   // read as ffmpeg reads it: the result check tells what that loses
    for (Attempt& a : m_probed.plan)
        if (a.audio == m_probed.choice.audio)
            a.audioInput = Utf8(raw);
}

void Probe::Announce(const FfmpegReportParser& report)
{
    const StreamChoice& choice = m_probed.choice;
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
    m_console.Line(what);
    if (!choice.leftOut.empty()) {
        std::string left = "Left out: ";
        for (size_t i = 0; i < choice.leftOut.size(); ++i)
            left += (i ? ", " : "") + choice.leftOut[i];
        m_console.Line(left);
    }
}

bool Probe::PlanStartsAsRunOne(long long firstRunRoom) const
{
    const std::vector<Attempt>& plan = m_probed.plan;
    // Run 1 copies what ffmpeg picks: only the main picture and sound, as they are.
    return m_planned && !plan.empty() && plan[0].tier == Tier::CopyBoth && !plan[0].hevcTag &&
           plan[0].kept.empty() && !plan[0].timecode && !plan[0].metadataKeys && plan[0].location.empty() &&
           !plan[0].dropPartialPackets && plan[0].audioInput.empty() && plan[0].indexRoom > 0 &&
           plan[0].indexRoom <= firstRunRoom;
}

Failure Probe::RefuseUnreadableVideo()
{
    const RecordingFacts& facts = m_probed.facts;
    std::vector<StreamInfo> streams = m_run.Report().Streams();
    for (const StreamInfo& s : streams) {
        if (!s.PictureMissing())
            continue;
        RunOutcome o = m_run.Run("does video #0:" + std::to_string(s.index) + " carry data?",
                                 FfmpegArguments::Decode(s.index, Utf8(facts.readPath), BoundsFor(facts.bounds, 0)));
        if (o.started && !o.stalled && (m_run.Progress().Frames() > 0 || m_run.Report().DecodeErrors() > 0))
            return Verdict::FailKeepingLog(ExitCode::NotConverted,
                                           "the recording's video (#0:" + std::to_string(s.index) + " " + s.codec +
                                               ") carries data, but ffmpeg finds no picture in it (damaged, or a "
                                               "keyframe interval of minutes?); an MP4 without it would not be the "
                                               "recording");
    }
    return Failure();
}
