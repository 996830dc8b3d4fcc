// The box reader on a whole file: the check of an MP4 ffmpeg wrote, the tracks of a
// recording's own index, each track's samples placed, and what is read through them (AMR
// sound copied apart, the slices' order looked at).
#include "mp4/AmrTrack.h"
#include "mp4/FrameOrder.h"
#include "bytes/MemoryFile.h"
#include "mp4/Mp4Inspector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemoryFile file(std::string(reinterpret_cast<const char*>(data), size));
    Mp4Inspector whole;
    whole.Inspect(file);
    for (size_t track = 0; track < 4; ++track) {
        Mp4Inspector index;
        index.KeepSamplesOf(track);
        if (!index.ReadTracks(file) || track >= index.Summary().tracks.size())
            break;
        const Mp4Track& t = index.Summary().tracks[track];
        MemoryFile raw;
        AmrTrack::WriteRaw(file, index.Samples(), t.format == "sawb", raw);
        if (raw.Size() > file.Size() + 16)
            __builtin_trap();   // a copy of the sound is never larger than the recording
        FrameOrder::FromSlices(file, index.Samples(), t.nalLengthSize);
    }
    return 0;
}
