#pragma once

#include "mp4/Mp4Inspector.h"

#include <map>
#include <string>
#include <vector>

// Whether a video stream shows its frames in another order than it stores them (B-frames
// that later frames refer back to). A container without presentation times (AVI, a raw
// stream) leaves ffmpeg to guess them, and its guess is wrong exactly then.
class FrameOrder
{
public:
    enum Answer { Unknown, InOrder, Reordered };

    // From the parameter sets' fields as ffmpeg's trace_headers prints them (each field's
    // largest value over all the sets seen). HEVC states its reordering always; H.264
    // states it in its optional bitstream restriction, or rules it out by its profile.
    static Answer FromParameterSets(const std::map<std::string, long long>& fields);

    // From H.264 samples (NAL units behind lengthSize-byte lengths): reordered when one
    // holds a B slice; Unknown when they cannot be read.
    static Answer FromSlices(ByteSource& file, const std::vector<SampleSpan>& samples,
                             int lengthSize);
    // The same for the first video track of an MP4 file.
    static Answer FromSlices(const std::wstring& mp4);

    // The slice type (0 P, 1 B, 2 I, 3 SP, 4 SI) of an H.264 NAL unit, -1 when it is no
    // slice or too short to tell.
    static int SliceType(const std::string& nal);
};
