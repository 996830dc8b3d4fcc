#pragma once

#include "ffmpeg/Attempt.h"
#include "ffmpeg/FfmpegReportParser.h"

#include <string>
#include <vector>

struct StreamChoice
{
    int video = -1;                    // input stream index, -1 none
    int audio = -1;
    std::vector<std::string> leftOut;  // "#0:2 (audio aac, declared without data)"
    std::vector<KeptStream> kept;      // beside them, in the recording's order
    std::vector<std::string> notKept;  // what a camera records beside them that MP4 cannot carry
};

// Picks what goes into the MP4: the video with the largest picture and the first audio
// stream that really carries decodable audio, from the video's programme; beside them,
// whatever else of that programme MP4 carries (telemetry, more sound, text subtitles).
class StreamChooser
{
public:
    static StreamChoice Choose(const std::vector<StreamInfo>& streams);

private:
    static bool ShareProgramme(const StreamInfo& a, const StreamInfo& b);
    static std::string WhyNotAudio(const StreamInfo& s);
    // How `s` is kept beside the main streams; false (and why) when MP4 cannot carry it.
    static bool Keep(const StreamInfo& s, KeptStream& kept, std::string& why);
};
