#pragma once

#include "bytes/ByteSource.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Mp4Track
{
    std::string handler;        // "vide", "soun", ...
    std::string format;         // sample entry: "avc1", "hvc1", "mp4a", ...
    uint64_t samples = 0;
    double duration = 0;        // seconds, from the media header
    double longestSample = 0;   // seconds: a recording's gap shows as one long sample
    int width = 0;
    int height = 0;
    int channels = 0;
    int sampleRate = 0;
    int objectType = 0;         // "mp4a": the codec its esds names (0x40 AAC, 0x69/0x6B MP3)
    std::string audioSpecificConfig;   // ... and AAC's settings
    int nalLengthSize = 0;      // "avc1"/"hvc1"/"hev1": bytes before each NAL unit
    std::string sampleEntry;    // the first sample entry box, whole (codec settings)
    uint32_t timescale = 0;
    uint32_t sampleDelta = 0;   // the first samples' length, in timescale units
    uint32_t typicalDelta = 0;  // the length most samples have (a held first picture is not it)
    std::string matrix;         // the track header's 36-byte matrix: a phone's rotation
    uint64_t editSkip = 0;      // what the edit list skips of the media (an encoder's priming)
    double editDelay = 0;       // seconds of empty edit before the media starts (sound after the picture)
    uint16_t language = 0x55C4; // the media header's packed code ("und")
    std::string handlerName;    // as the writer named the track
    uint32_t largestSample = 0;
    uint32_t sampleSize = 0;    // every sample's size, when the sample table gives one for all
    uint32_t chunkSamples = 0;  // samples in the first chunks
};

struct SampleSpan
{
    uint64_t offset = 0;
    uint32_t size = 0;
};

struct Mp4Summary
{
    std::vector<Mp4Track> tracks;
    double duration = 0;        // the longest track, seconds
    uint64_t fileSize = 0;
    bool indexFirst = false;    // moov before the media data: playable while it loads
    bool cutShort = false;      // ReadTracks: the file ends inside a box (a copy stopped part way)
};

// Reads an MP4 back by its boxes (ftyp, moov/trak/mdia/minf/stbl, mdat) without running
// ffmpeg again. A box running past the end, sample data past the end or a missing moov
// make it fail with a plain reason. The files come from strangers: its work is linear in the
// index, its memory bounded, and a damaged table is a reason, never a read elsewhere.
class Mp4Inspector
{
public:
    // The largest index read (a 10-hour camera recording's is some tens of MB).
    static const uint32_t MostIndexBytes = 128u << 20;

    bool Inspect(ByteSource& file);
    bool InspectBytes(const std::string& bytes);
    bool InspectFile(const std::wstring& path);
    // Only the tracks a recording's own index lists (samples, lengths, pictures), also when
    // its media data is cut short.
    bool ReadTracks(const std::wstring& path);
    bool ReadTracks(ByteSource& file);
    // Asked now and then during a walk whether anyone still waits for it: false stops it.
    void WhileWanted(const std::function<bool()>& stillWanted) { m_stillWanted = stillWanted; }

    // Where one track's samples lie, in decode order; InspectFile and ReadTracks fill it
    // when asked to beforehand.
    void KeepSamplesOf(size_t track) { m_keptTrack = static_cast<int>(track); }
    const std::vector<SampleSpan>& Samples() const { return m_samples; }

    const Mp4Summary& Summary() const { return m_summary; }
    const std::string& Problem() const { return m_problem; }

private:
    bool Fail(const std::string& why);
    bool Walk(ByteSource& file);
    bool ParseMoov(const std::string& moov);
    bool ParseTrack(const std::string& data, size_t begin, size_t end);
    bool PlaceSamples(const std::vector<uint32_t>& sizes, const std::vector<uint64_t>& chunks,
                      const std::string& d, size_t stsc, size_t stscEnd);
    bool StillWanted() const { return !m_stillWanted || m_stillWanted(); }

    Mp4Summary m_summary;
    std::string m_problem;
    uint64_t m_sampleBytes = 0;
    uint64_t m_lastChunk = 0;
    uint32_t m_movieTimescale = 0;
    uint64_t m_boxes = 0;       // walked so far: who waits is asked every so many
    bool m_tracksOnly = false;
    int m_keptTrack = -1;
    std::vector<SampleSpan> m_samples;
    std::function<bool()> m_stillWanted;
};
