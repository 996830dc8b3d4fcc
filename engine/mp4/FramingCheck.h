#pragma once

#include "bytes/ByteSource.h"

#include <string>

// A copy's samples at its start and end, read by the engine itself: the H.264/HEVC video's
// parameter sets are usable and each sample's NAL units fill it exactly, each a unit this
// stream can hold; AAC sound has settings the AAC reader takes and raw frames. A copy that
// passes hands a decoder there the recording's own packets, whole; anything else (another
// codec, a finding) is left to ffmpeg's decode.
class FramingCheck
{
public:
    // "" when the samples of the first and last `seconds` of every track are well framed,
    // else the first finding.
    static std::string Ends(ByteSource& mp4, double seconds = 1.0);
    static std::string Ends(const std::wstring& mp4, double seconds = 1.0);
};
