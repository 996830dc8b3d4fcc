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
        // Ticks added after a sample (its number from 0), in order: the time a damaged stretch
        // after it lasted.
        std::vector<std::pair<uint64_t, uint32_t>> pauses;
        double delay = 0;     // seconds the track starts after the movie (an empty edit)
        uint16_t language = 0x55C4;        // packed ISO 639-2 ("und")
        std::string handlerName;
        std::string handler;  // not pictures or sound: "meta", "tmcd", ...
    };

    // scannedFrom: where the scanned data began in the recording. others: the camera's other
    // tracks (telemetry, a timecode), after the pictures and sound.
    static std::string Moov(const Track& video, const Track& sound, uint64_t scannedFrom, uint64_t dataAt,
                            const std::vector<Track>& others = std::vector<Track>());
    // Each picture's presentation offset in frames from its place in decode order, by its
    // order count; shift: how many frames the earliest is shown before its place.
    static std::vector<long long> PresentationOffsets(const FoundTrack& t, long long& shift);
    // The seconds a track's samples last.
    static double Seconds(const Track& t);
    // Its samples' lengths together, in its timescale.
    static uint64_t MediaTicks(const Track& t);
    // ... of its first `samples` samples.
    static uint64_t TicksBefore(const Track& t, uint64_t samples);
    // Its samples' lengths as runs of (samples, ticks each).
    static std::vector<std::pair<uint64_t, uint32_t>> Lengths(const Track& t);
};
