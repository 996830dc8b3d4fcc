#pragma once

#include "conversion/ConversionPlanner.h"
#include "ffmpeg/FfmpegRun.h"
#include "mp4/Mp4Inspector.h"

#include <functional>
#include <string>
#include <vector>

// What a player meets in the MP4 an attempt wrote: every track holds what the recording
// holds (or all ffmpeg reads of it), copied streams decode cleanly at the start and the
// end, and copied frames from a source without presentation times play in order. The
// MP4's index answers most of it; ffmpeg runs for the rest.
class ResultReview
{
public:
    struct Recording
    {
        std::string source;              // UTF-8, as ffmpeg takes it
        std::wstring output;             // the attempt's MP4
        double duration = -1;            // as the recording states it; < 0 unknown
        bool clockMayJump = false;       // MPEG clock readings may span more than there is
        bool noPresentationTimes = false;   // AVI, raw H.264/HEVC: decode order only
        RunBounds bounds;
    };
    // Runs one ffmpeg check: what it is for (the log's header), then its arguments.
    typedef std::function<RunOutcome(const std::string&, const std::vector<std::string>&)> Runner;
    typedef std::function<void(const std::string&)> Say;

    // run: the FfmpegRun the runner uses, read after each check.
    ResultReview(const Recording& recording, const FfmpegRun& run, const Runner& runFfmpeg, const Say& say);

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
    std::string CheckLengths(const Attempt& attempt, const Mp4Summary& mp4);
    void NoteShortTracks(const Mp4Summary& mp4);

    Recording m_recording;
    const FfmpegRun& m_run;
    Runner m_runFfmpeg;
    Say m_say;
    Mp4Summary m_result;
};
