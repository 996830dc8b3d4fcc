#pragma once

#include "mp4/Mp4Inspector.h"

#include <string>

struct ResultExpectation
{
    bool video = false;          // the MP4 must hold a video track with samples
    bool audio = false;          // ... and an audio track with samples
    double duration = -1;        // the recording's length in seconds, < 0 unknown
};

// Decides whether a finished MP4 is what the attempt promised, and says what it holds.
class SummaryCheck
{
public:
    // "" when the MP4 passes, otherwise why it does not.
    static std::string Verify(const Mp4Summary& mp4, const ResultExpectation& expected);
    // "H.264 1280x720 + AAC 44.1 kHz stereo, 12.3 MB, 0:01:00"
    static std::string Describe(const Mp4Summary& mp4);
    // For a recording whose clock jumps: what ffmpeg read from it (seconds of content, and
    // video frames when it has video) against the MP4. "" when nothing is missing.
    static std::string VerifyAgainstContent(const Mp4Summary& mp4, double contentSeconds, long long frames);
    // Lengths match within 2 % or 1 s, whichever is more.
    static bool LengthMatches(double actual, double expected);

private:
    static std::string CodecName(const Mp4Track& track);
};
