#pragma once

#include "conversion/RecordingFacts.h"
#include "mp4/Mp4Inspector.h"

#include <string>

class Console;
class FfmpegRun;

// What a player meets in the MP4 an attempt wrote: every track holds what the recording
// holds (or all ffmpeg reads of it), copied streams decode cleanly at the start and the
// end, and copied frames from a source without presentation times play in order. The
// MP4's index answers most of it; ffmpeg runs for the rest.
class ResultReview
{
public:
    // output: the attempt's MP4. The checks that need ffmpeg run through `run`; notes go
    // to the console.
    ResultReview(const RecordingFacts& facts, const std::wstring& output, FfmpegRun& run, Console& console);

    // "" when the MP4 holds what the recording holds, else why not. Notes go to `say`.
    std::string Check(const Attempt& attempt);
    // A copied video that would play its frames out of order (its times need rebuilding).
    bool FramesOutOfOrder(const Attempt& attempt);
    // "" when what was copied decodes at the start and the end as cleanly as the recording
    // does there, else why not.
    std::string CheckEnds(const Attempt& attempt);
    // What passed the check.
    const Mp4Summary& Result() const { return m_result; }

private:
    // The tracks kept beside the main picture and sound are there, copies whole (the timecode
    // is said where it is missing, not failed).
    std::string CheckKept(const Attempt& attempt, const Mp4Summary& mp4) const;
    std::string CheckLengths(const Attempt& attempt, const Mp4Summary& mp4);
    void NoteShortTracks(const Mp4Summary& mp4);

    const RecordingFacts& m_facts;
    std::wstring m_output;
    std::string m_source;   // what ffmpeg reads, as it takes it
    RunBounds m_bounds;
    FfmpegRun& m_run;
    Console& m_console;
    Mp4Summary m_result;
};
