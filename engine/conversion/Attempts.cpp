#include "conversion/Attempts.h"

#include "conversion/ConversionPlanner.h"
#include "conversion/ResultReview.h"
#include "ffmpeg/FfmpegArguments.h"
#include "ffmpeg/FfmpegRun.h"
#include "windows/Console.h"
#include "windows/TextFormat.h"
#include "windows/WorkFolder.h"

namespace {

// The same attempt once more with ffmpeg closing the jumps of a clock that runs backwards.
Attempt ClockClosed(const Attempt& attempt)
{
    Attempt again = attempt;
    again.keepClock = false;
    again.method += "; again with the recording's clock jumps closed (it runs backwards)";
    return again;
}

} // namespace

Attempts::Attempts(FfmpegRun& run, WorkFolder& work, Console& console, const ConversionPaths& paths,
                   const RecordingFacts& facts)
    : m_run(run), m_work(work), m_console(console), m_paths(paths), m_facts(facts)
{
}

Outcome<Converted> Attempts::Convert(const Probed& probed)
{
    m_plan = probed.plan;
    Converted passed;
    size_t next = 0;
    if (probed.firstRunIsAttempt) {
        Outcome<Judged> judged = Judge(0, probed.first, passed);
        if (judged.failure)
            return judged.failure;
        if (judged.value == Judged::Passed)
            return passed;
        next = 1;
    }
    for (; next < m_plan.size(); ++next) {
        Attempt& a = m_plan[next];
        if (m_retimeVideo && a.video >= 0 && !a.rebuildTimes) {
            if (a.copyVideo)
                continue;
            a.rebuildTimes = true;
        }
        m_console.Line("Method: " + a.method);
        m_work.NextOutput();
        RunOutcome o = m_run.Run(a.method,
                                 FfmpegArguments::ForAttempt(a, TextFormat::PathUtf8(m_facts.readPath),
                                                             TextFormat::PathUtf8(m_work.OutputPath()), m_facts.fpsMode),
                                 TextFormat::WideToUtf8(m_work.OutputName()));
        Outcome<Judged> judged = Judge(next, o, passed);
        if (judged.failure)
            return judged.failure;
        if (judged.value == Judged::Passed)
            return passed;
    }
    if (!m_facts.openReason.empty())
        return Verdict::FailKeepingLog(ExitCode::NotConverted,
                                       "ffmpeg cannot read the source (damaged or not a recording?): " +
                                           m_facts.openReason);
    return Verdict::FailKeepingLog(ExitCode::NotConverted, "ffmpeg could not convert the recording" +
                                                               (m_lastReason.empty() ? std::string()
                                                                                     : ": " + m_lastReason));
}

Outcome<Attempts::Judged> Attempts::Judge(size_t index, const RunOutcome& o, Converted& passed)
{
    const Attempt a = m_plan[index];
    if (!o.started)
        return Verdict::CannotRunFfmpeg(o.startError, m_paths.ffmpeg);
    if (o.stalled)
        return Verdict::Stalled(m_run.StallMs());
    if (Failure f = Verdict::StopOnWriteError(m_run.Report(), o.exitCode != 0, m_paths.targetFolder,
                                              m_work.OutputPath()))
        return f;
    if (o.exitCode != 0) {
        m_lastReason = m_run.Report().Reason();
        if (m_lastReason.empty())
            m_lastReason = "ffmpeg stopped with exit code " + std::to_string(o.exitCode);
        m_console.Line("Attempt failed: " + m_lastReason);
        if (a.keepClock && m_run.Report().ClockTrouble())
            m_plan.insert(m_plan.begin() + static_cast<long>(index) + 1, ClockClosed(a));
        else if (a.indexRoom > 0 && m_run.Report().IndexRoomTooSmall()) {
            Attempt again = a;   // the index did not fit the room kept for it
            again.indexRoom = 0;
            m_plan.insert(m_plan.begin() + static_cast<long>(index) + 1, again);
        }
        return Judged::Next;
    }
    ResultReview review(m_facts, m_work.OutputPath(), m_run, m_console);
    std::string why = review.Check(a);
    if (why.empty() && review.FramesOutOfOrder(a)) {
        m_lastReason = "the copied video would play its frames out of order (B-frames without presentation times)";
        m_console.Line("Attempt failed: " + m_lastReason);
        m_retimeVideo = true;
        m_plan.insert(m_plan.begin() + static_cast<long>(index) + 1, ConversionPlanner::TimesRebuilt(a));
        return Judged::Next;
    }
    if (why.empty())
        why = review.CheckEnds(a);
    if (!why.empty()) {
        if (Failure f = Verdict::StopOnWriteError(m_run.Report(), true, m_paths.targetFolder, m_work.OutputPath()))
            return f;
        m_lastReason = "the result failed its check: " + why;
        m_console.Line("Attempt failed: " + m_lastReason);
        return Judged::Next;
    }
    passed.attempt = a;
    passed.result = review.Result();
    return Judged::Passed;
}
