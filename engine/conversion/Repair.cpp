#include "conversion/Repair.h"

#include "conversion/RecordingFacts.h"
#include "ffmpeg/FfmpegArguments.h"
#include "ffmpeg/FfmpegRun.h"
#include "rebuild/CutRecordingRepair.h"
#include "rebuild/RecordingFolder.h"
#include "windows/Console.h"
#include "windows/TextFormat.h"
#include "windows/WorkFolder.h"

namespace {

// Decodes a start rebuilt with a finished recording's settings: only a clean decode tells
// that the settings are this recording's.
class FfmpegTrial : public CutRecordingRepair::TrialDecoder
{
public:
    FfmpegTrial(FfmpegRun& run, const RunBounds& bounds) : m_run(run), m_bounds(bounds) {}

    bool Decodes(const std::wstring& mp4) override
    {
        RunOutcome o = m_run.Run("does the rebuilt start decode with a finished recording's settings?",
                                 FfmpegArguments::TrialDecode(TextFormat::PathUtf8(mp4), m_bounds));
        return o.started && !o.stalled && o.exitCode == 0 && m_run.Report().Lines() == 0;
    }

private:
    FfmpegRun& m_run;
    RunBounds m_bounds;
};

} // namespace

Outcome<std::wstring> Repair::ReadableCopy(const std::wstring& source, const SourceBounds& bounds, WorkFolder& work,
                                           FfmpegRun& run, Console& console)
{
    uint64_t begin = 0, end = 0;
    if (!CutRecordingRepair::IndexMissing(source, begin, end))
        return source;
    console.Line("Note: the recording's index was never written (power cut, or the card pulled out?); rebuilding "
                 "it from its data");
    FfmpegTrial trial(run, BoundsFor(bounds, 0));
    CutRecordingRepair rebuild(source, begin, end,
                               RecordingFolder::Candidates(source, CutRecordingRepair::MostCandidates), console,
                               &trial);
    std::string why = rebuild.Rebuild(work.RebuiltPath());
    if (!why.empty())
        return Verdict::Fail(rebuild.WriteFailed() ? ExitCode::TargetProblem : ExitCode::SourceUnusable, why);
    return work.RebuiltPath();
}
