#pragma once

#include "ffmpeg/FfmpegReportParser.h"
#include "conversion/StreamChooser.h"
#include "ffmpeg/Attempt.h"

#include <string>
#include <vector>

// Orders the attempts, cheapest first, and writes each one's ffmpeg arguments.
class ConversionPlanner
{
public:
    // streams/format/choice from the input report; inputIsRaw: ffmpeg itself read the
    // source as a raw H.264/HEVC stream.
    static std::vector<Attempt> Plan(const std::vector<StreamInfo>& streams, const StreamChoice& choice,
                                     const std::string& inputFormat);
    static std::vector<Attempt> RawAttempts();
    // The attempt again with the video re-encoded and its frames re-timed.
    static Attempt TimesRebuilt(const Attempt& attempt);
    // Room for the index of an MP4 holding these streams for `duration` seconds,
    // generous; 0 when the length is unknown. Never more than the source's size allows:
    // a stranger's file may claim any length.
    static long long IndexRoom(const StreamInfo* video, const StreamInfo* audio, double duration,
                               unsigned long long sourceBytes);
    // Before any report: room from the source's size.
    static long long IndexRoomForSize(unsigned long long sourceBytes);

    static bool VideoFitsMp4(const std::string& codec);
    // ffmpeg read the source as a bare H.264/HEVC stream: no length, no container times.
    static bool IsRawFormat(const std::string& inputFormat);
    static bool AudioFitsMp4(const std::string& codec);
};
