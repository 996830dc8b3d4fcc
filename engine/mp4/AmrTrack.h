#pragma once

#include "bytes/ByteSink.h"
#include "bytes/ByteSource.h"
#include "mp4/Mp4Inspector.h"

#include <string>
#include <vector>

// AMR sound as phones wrote it into 3GP packs several 20 ms frames into one sample, and
// ffmpeg's MP4 reader hands out only the first of each. The same bytes behind the AMR
// file header make a plain AMR stream, which ffmpeg's AMR reader reads whole.
class AmrTrack
{
public:
    static bool IsAmr(const std::string& sampleEntry) { return sampleEntry == "samr" || sampleEntry == "sawb"; }

    // Writes the samples of `source` to a new file `raw` as an AMR stream; stops at the
    // first sample the file does not hold (a recording cut short). False when no frame
    // could be written.
    static bool WriteRaw(const std::wstring& source, const std::vector<SampleSpan>& samples, bool wideband,
                         const std::wstring& raw);
    static bool WriteRaw(ByteSource& source, const std::vector<SampleSpan>& samples, bool wideband, ByteSink& raw);
};
