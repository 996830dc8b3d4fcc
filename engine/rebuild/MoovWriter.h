#pragma once

#include "rebuild/MdatScanner.h"

#include <cstdint>
#include <string>
#include <vector>

// The index (moov) of the samples a scan found, for a file that holds the scanned data
// from `dataAt` on.
class MoovWriter
{
public:
    struct Track
    {
        Track() = default;
        Track(const FoundTrack* samples, bool video, const std::string& entry, uint32_t timescale, uint32_t ticks)
            : samples(samples), video(video), sampleEntry(entry), timescale(timescale), ticks(ticks) {}

        const FoundTrack* samples = nullptr;
        bool video = true;
        std::string sampleEntry;
        uint32_t timescale = 0;
        uint32_t ticks = 0;   // each sample's length
        uint64_t skip = 0;    // ticks at the start not shown (sound: the encoder's priming)
        int width = 0, height = 0;
        std::string matrix;   // the track header's 36 bytes; "" for none turned
        std::vector<uint32_t> durations;   // each sample's own length where they differ; else `ticks`
        double delay = 0;     // seconds the track starts after the movie (an empty edit)
        uint16_t language = 0x55C4;        // packed ISO 639-2 ("und")
        std::string handlerName;
    };

    // scannedFrom: where the scanned data began in the recording.
    static std::string Moov(const Track& video, const Track& sound, uint64_t scannedFrom, uint64_t dataAt);
    // Each picture's presentation offset in frames from its place in decode order, by its
    // order count; shift: how many frames the earliest is shown before its place.
    static std::vector<long long> PresentationOffsets(const FoundTrack& t, long long& shift);
    // The seconds a track's samples last.
    static double Seconds(const Track& t);
    // Its samples' lengths together, in its timescale.
    static uint64_t MediaTicks(const Track& t);
};
