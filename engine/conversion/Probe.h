#pragma once

#include "conversion/Preflight.h"
#include "conversion/RecordingFacts.h"
#include "conversion/StreamChooser.h"
#include "conversion/Verdict.h"
#include "ffmpeg/FfmpegRun.h"

#include <string>
#include <vector>

struct Mp4Summary;

class Console;
class WorkFolder;

// What run 1 leaves: the recording's facts, the streams chosen and the ways to try, cheapest
// first. Run 1 itself may have been the first of them.
struct Probed
{
    RecordingFacts facts;
    StreamChoice choice;
    std::vector<Attempt> plan;
    bool firstRunIsAttempt = false;
    RunOutcome first;
};

// Run 1: ffmpeg reads the recording (again, further, when a video's picture was not found)
// and remuxes it as it picks the streams, until its report asks for another way. Most
// recordings are converted by this run.
class Probe
{
public:
    // The verdict learns the picture size a bound's reason names.
    Probe(FfmpegRun& run, WorkFolder& work, Console& console, Verdict& verdict);

    Outcome<Probed> Read(const ConversionPaths& paths, const std::wstring& readPath, const SourceFile& file);

private:
    class Watch;

    // The plan from run 1's report: made once, while run 1 goes on.
    void MakePlan(const FfmpegReportParser& report, bool deep);
    // The recording's AMR sound, which ffmpeg reads only in part, goes to a file of its own.
    // What each attempt keeps beside the main picture and sound; index: the recording's own.
    void KeepBeside(const FfmpegReportParser& report, const Mp4Summary* index);
    void ReadSoundApart(size_t track, bool wideband);
    // "Recording: ..." and, when streams are skipped, "Left out: ...".
    void Announce(const FfmpegReportParser& report);
    // Run 1 copies what ffmpeg picks, with no tag of ours, into the room it was given.
    bool PlanStartsAsRunOne(long long firstRunRoom) const;
    // Facts of the report and of the run, once it ended.
    void TakeFacts(const FfmpegReportParser& report);
    // The recording's video came without a picture even to the deeper look: a failure
    // when it carries data (no result without it is a success).
    Failure RefuseUnreadableVideo();

    FfmpegRun& m_run;
    WorkFolder& m_work;
    Console& m_console;
    Verdict& m_verdict;
    Probed m_probed;
    bool m_planned = false;
    bool m_announced = false;
    bool m_methodShown = false;
};
