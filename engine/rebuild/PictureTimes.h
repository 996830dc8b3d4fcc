#pragma once

#include "rebuild/MdatScanner.h"

#include <cstdint>
#include <vector>

// How long each rebuilt picture is shown. A finished recording tells the typical interval;
// where the camera held a picture (a thermal camera's first picture, a pause), the sound
// written around the pictures tells for how long: a camera writes its chunks in time order.
class PictureTimes
{
public:
    struct Sound
    {
        const FoundTrack* samples = nullptr;
        double sampleSeconds = 0;   // each sample's length
        double delay = 0;           // seconds it starts after the first picture
    };

    // Each picture's length in `ticks` units of `timescale`; empty when all are `ticks`.
    // reordered: how many pictures are decoded before the first is shown.
    static std::vector<uint32_t> Durations(const FoundTrack& video, uint32_t timescale, uint32_t ticks,
                                           const Sound& sound, long long reordered = 0);
};
