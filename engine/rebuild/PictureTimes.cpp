#include "rebuild/PictureTimes.h"

#include <algorithm>
#include <cmath>

namespace {

// How far the sound may run ahead of the pictures between two chunks before a picture is
// taken for held: more than the interleaving of any camera's chunks shifts it.
const double LeastHoldSeconds = 0.5;

} // namespace

std::vector<uint32_t> PictureTimes::Durations(const FoundTrack& video, uint32_t timescale, uint32_t ticks,
                                              const Sound& sound, long long reordered)
{
    if (!sound.samples || sound.samples->Samples() == 0 || timescale == 0 || ticks == 0 || video.chunks.empty())
        return std::vector<uint32_t>();
    const double tick = static_cast<double>(ticks) / timescale;
    uint32_t longestChunk = 0;
    for (const FoundTrack::Chunk& c : video.chunks)
        longestChunk = std::max(longestChunk, c.samples);
    const double hold = std::max(LeastHoldSeconds, 1.5 * longestChunk * tick);

    std::vector<uint32_t> durations(video.Samples(), ticks);
    const std::vector<FoundTrack::Chunk>& heard = sound.samples->chunks;
    size_t next = 0, pictures = 0;
    // The pictures decoded ahead of the first one shown are decoded before its time.
    double soundBefore = sound.delay, videoBefore = -static_cast<double>(reordered) * tick, lastGap = 0;
    bool held = false;
    for (size_t c = 0; c < video.chunks.size(); ++c) {
        for (; next < heard.size() && heard[next].offset < video.chunks[c].offset; ++next)
            soundBefore += heard[next].samples * sound.sampleSeconds;
        if (next == 0) {   // no sound written yet: nothing to go by
            videoBefore += video.chunks[c].samples * tick;
            pictures += video.chunks[c].samples;
            continue;
        }
        // How far the sound written so far runs ahead of the pictures: steady while both are
        // written in step, a jump where a picture was held while the sound went on.
        double gap = soundBefore - videoBefore;
        if (gap - lastGap > hold && pictures > 0) {
            double extra = std::min(std::floor((gap - lastGap) * timescale + 0.5), 3600.0 * timescale);
            durations[pictures - 1] += static_cast<uint32_t>(extra);
            held = true;
            videoBefore += extra / timescale;
            gap = soundBefore - videoBefore;
        }
        lastGap = gap;
        videoBefore += video.chunks[c].samples * tick;
        pictures += video.chunks[c].samples;
    }
    return held ? durations : std::vector<uint32_t>();
}
