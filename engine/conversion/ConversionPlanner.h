#pragma once

#include "conversion/StreamChooser.h"
#include "ffmpeg/Attempt.h"
#include "ffmpeg/FfmpegReportParser.h"

#include <string>
#include <vector>

// Orders the attempts, cheapest first (FfmpegArguments writes each one's command line).
class ConversionPlanner
{
public:
    // The ways for the streams ffmpeg's input report lists, the chosen ones and the input
    // format it read.
    static std::vector<Attempt> Plan(const std::vector<StreamInfo>& streams, const StreamChoice& choice,
                                     const std::string& inputFormat);
    // The ways for a source ffmpeg could not read as a recording: its raw H.264, then HEVC.
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

    // Codecs an MP4 carries as they are.
    static bool VideoFitsMp4(const std::string& codec);
    static bool AudioFitsMp4(const std::string& codec);
    // ffmpeg read the source as a bare H.264/HEVC stream: no length, no container times.
    static bool IsRawFormat(const std::string& inputFormat);
};
