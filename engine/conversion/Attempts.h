#pragma once

#include "conversion/Preflight.h"
#include "conversion/Probe.h"
#include "conversion/Verdict.h"
#include "mp4/Mp4Inspector.h"

#include <string>
#include <vector>

class Console;
class FfmpegRun;
class WorkFolder;

// The attempt whose MP4 passed its review, and what that MP4 holds.
struct Converted
{
    Attempt attempt;
    Mp4Summary result;
};

// The ways of the plan in order, cheapest first, each result reviewed before it is taken;
// a way that fails for a reason another run can mend is tried again, mended.
class Attempts
{
public:
    Attempts(FfmpegRun& run, WorkFolder& work, Console& console, const ConversionPaths& paths,
             const RecordingFacts& facts);

    Outcome<Converted> Convert(const Probed& probed);

private:
    enum class Judged
    {
        Passed,
        Next,
    };
    // What came of m_plan[index]: passed (into `passed`), the next attempt, or the end.
    Outcome<Judged> Judge(size_t index, const RunOutcome& outcome, Converted& passed);

    FfmpegRun& m_run;
    WorkFolder& m_work;
    Console& m_console;
    const ConversionPaths& m_paths;
    const RecordingFacts& m_facts;
    std::vector<Attempt> m_plan;
    bool m_retimeVideo = false;   // copied frames played out of order: every later way re-times them
    std::string m_lastReason;
};
