#include "conversion/ResultReview.h"
#include "ffmpeg/FfmpegArguments.h"

#include "ffmpeg/FfmpegRun.h"
#include "mp4/FrameOrder.h"
#include "mp4/FramingCheck.h"
#include "mp4/SummaryCheck.h"
#include "windows/Console.h"
#include "windows/TextFormat.h"

ResultReview::ResultReview(const RecordingFacts& facts, const std::wstring& output, FfmpegRun& run, Console& console)
    : m_facts(facts), m_output(output), m_source(TextFormat::PathUtf8(facts.readPath)),
      m_bounds(BoundsFor(facts.bounds, 0)), m_run(run), m_console(console)
{
}

std::string ResultReview::Check(const Attempt& attempt)
{
    Mp4Inspector inspector;
    if (!inspector.InspectFile(m_output))
        return inspector.Problem();
    std::string why = CheckLengths(attempt, inspector.Summary());
    if (why.empty())
        why = CheckKept(attempt, inspector.Summary());
    if (why.empty())
        m_result = inspector.Summary();
    return why;
}

std::string ResultReview::CheckLengths(const Attempt& attempt, const Mp4Summary& mp4)
{
    const double duration = m_facts.duration;
    ResultExpectation expected;
    expected.video = attempt.video >= 0;
    expected.audio = attempt.audio >= 0;
    expected.duration = attempt.ReadsRaw() ? -1 : duration;
    std::string why = SummaryCheck::Verify(mp4, expected);
    ResultExpectation anyLength = expected;
    anyLength.duration = -1;
    if (why.empty() || expected.duration <= 0 || !SummaryCheck::Verify(mp4, anyLength).empty())
        return why;
    // The MP4 is not as long as the recording says. Whether it misses something is told by
    // what ffmpeg reads from the recording, writing nothing: a cut-off file or an MPEG
    // clock that jumps states more than there is.
    RunOutcome o = m_run.Run("the recording's length as ffmpeg reads it",
                               FfmpegArguments::Measure(attempt, m_source));
    bool read = o.started && !o.stalled && o.exitCode == 0;
    double content = read ? m_run.Progress().Position() : -1;
    long long frames = read && attempt.video >= 0 ? m_run.Progress().Frames() : -1;
    if (content <= 0)
        return why;
    why = SummaryCheck::VerifyAgainstContent(mp4, content, frames);
    bool shorter = content < duration && !SummaryCheck::LengthMatches(content, duration);
    if (why.empty() && shorter && m_facts.clockMayJump)
        m_console.Line("Note: the recording's clock jumps; its clock readings span " + TextFormat::Clock(duration) +
              ", ffmpeg reads " + TextFormat::Clock(content) + " from it");
    else if (why.empty() && shorter)
        m_console.Line("Note: the recording ends early: " + TextFormat::Clock(content) + " of " + TextFormat::Clock(duration) +
              " can be read");
    else if (why.empty())
        NoteShortTracks(mp4);
    return why;
}

std::string ResultReview::CheckKept(const Attempt& attempt, const Mp4Summary& mp4) const
{
    // After the main picture and sound, in their order: each there, and a copy whole where the
    // recording's own index tells its samples (a cut recording's last ones may be left out).
    size_t at = (attempt.video >= 0 ? 1 : 0) + (attempt.audio >= 0 ? 1 : 0);
    for (const KeptStream& k : attempt.kept) {
        const Mp4Track* t = at < mp4.tracks.size() ? &mp4.tracks[at] : nullptr;
        ++at;
        if (!t || t->samples == 0)
            return "the MP4 lacks the recording's " + k.name;
        if (k.codec == "copy" && k.samples > 0 && !attempt.dropPartialPackets &&
            t->samples < static_cast<uint64_t>(k.samples))
            return "the MP4 holds " + std::to_string(t->samples) + " of the " + std::to_string(k.samples) +
                   " samples of the recording's " + k.name;
    }
    return std::string();
}

std::string ResultReview::CheckEnds(const Attempt& attempt)
{
    if (!attempt.copyVideo && !attempt.copyAudio)
        return std::string();   // the encoders' own output
    // What the engine reads well framed there hands a decoder the recording's own packets
    // whole: only a finding of its own is worth a decode.
    if (FramingCheck::Ends(m_output).empty())
        return std::string();
    // Where a player starts and where a cut recording ends: a copy must decode there as
    // cleanly as the recording itself does (its own damage is carried, not added to).
    // Its picture and sound (the first tracks); only the decoders' complaints speak about the
    // MP4 (the null muxer's own, as for a clip shorter than the two windows, do not).
    std::string mp4 = TextFormat::PathUtf8(m_output);
    std::vector<int> main;
    for (int s : {attempt.video, attempt.audio})
        if (s >= 0)
            main.push_back(static_cast<int>(main.size()));
    RunOutcome o = m_run.Run("do the MP4's start and end decode cleanly?", FfmpegArguments::Ends(mp4, main, m_bounds));
    const int complaints = m_run.Report().Lines() - m_run.Report().MuxerLines();
    if (!o.started || o.stalled || complaints == 0)
        return std::string();
    std::string first = m_run.Report().Reason();
    if (!attempt.ReadsRaw()) {
        std::vector<int> streams;
        for (int s : {attempt.video, attempt.audio})
            if (s >= 0)
                streams.push_back(s);
        o = m_run.Run("does the recording decode as cleanly there?",
                        FfmpegArguments::Ends(m_source, streams, m_bounds));
        if (o.started && !o.stalled && m_run.Report().Lines() - m_run.Report().MuxerLines() >= complaints)
            return std::string();
    }
    return "the MP4 does not decode cleanly at its start or end" + (first.empty() ? std::string() : " (" + first + ")");
}

void ResultReview::NoteShortTracks(const Mp4Summary& mp4)
{
    const double duration = m_facts.duration;
    for (const Mp4Track& t : mp4.tracks) {
        if ((t.handler == "vide" || t.handler == "soun") && !SummaryCheck::LengthMatches(t.duration, duration))
            m_console.Line(std::string("Note: the ") + (t.handler == "vide" ? "video" : "audio") + " covers " +
                  TextFormat::Clock(t.duration) + " of the recording's " + TextFormat::Clock(duration) +
                  "; ffmpeg reads no more of it" + (t.handler == "vide" ? " (a picture starts at a keyframe)" : ""));
    }
}

bool ResultReview::FramesOutOfOrder(const Attempt& attempt)
{
    // Only sources that carry frames in decode order without their times can be wrong, and
    // only when the stream reorders its frames: its parameter sets say, or its slices.
    if (!attempt.copyVideo || attempt.video < 0 || !m_facts.noPresentationTimes)
        return false;
    std::string format;
    for (const Mp4Track& t : m_result.tracks)
        if (t.handler == "vide" && format.empty())
            format = t.format;
    const std::string mp4 = TextFormat::PathUtf8(m_output);
    bool avc = format == "avc1" || format == "avc3";
    if (avc || format == "hvc1" || format == "hev1") {
        RunOutcome o = m_run.Run("does the copied video reorder its frames?",
                                   FfmpegArguments::Headers(mp4, m_bounds));
        FrameOrder::Answer order = FrameOrder::Unknown;
        if (o.started && !o.stalled)
            order = FrameOrder::FromParameterSets(m_run.Report().HeaderFields());
        if (order == FrameOrder::Unknown && avc)
            order = FrameOrder::FromSlices(m_output);
        if (order != FrameOrder::Unknown)
            return order == FrameOrder::Reordered;
    }
    RunOutcome o = m_run.Run("do the copied frames play in order?",
                               FfmpegArguments::TimesCheck(mp4, m_bounds));
    return o.started && m_run.Report().ClockTrouble();
}
