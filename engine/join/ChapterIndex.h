#pragma once

#include "bytes/ByteSource.h"

#include <cstdint>
#include <string>
#include <vector>

// One track's sample tables as a chapter's index lists them, read into numbers so that the
// tables of several chapters can be laid end to end.
struct ChapterTrack
{
    std::string handler;                  // "vide", "soun", "meta", "tmcd", ...
    std::string sampleEntries;            // the stsd box, whole: the camera's settings
    uint32_t timescale = 0;
    std::vector<std::pair<uint32_t, uint32_t>> lengths;   // stts: (samples, ticks each)
    std::vector<std::pair<uint32_t, int32_t>> shown;      // ctts: (samples, offset); empty: none
    std::vector<uint32_t> keyframes;      // stss, numbered from 1; `allKeyframes` when it has none
    bool allKeyframes = true;
    uint32_t sampleSize = 0;              // every sample's size, or 0 and `sizes`
    std::vector<uint32_t> sizes;
    uint64_t samples = 0;
    struct ChunkRun
    {
        uint32_t firstChunk, samplesPerChunk, entry;
    };
    std::vector<ChunkRun> chunkRuns;      // stsc
    std::vector<uint64_t> chunks;         // stco/co64: where each chunk lies in the file
    // elst as (length in the movie's timescale, media time or -1 for a pause); none: empty.
    std::vector<std::pair<uint64_t, int64_t>> edits;
    uint64_t mediaTicks = 0;              // its samples' lengths together
    int width = 0, height = 0;
    std::string matrix;                   // the track header's 36 bytes
    // A timecode track's first frame number and its frames a second; -1 when it has none.
    int64_t firstFrame = -1;
    double framesPerSecond = 0;
};

// A chapter's index (moov), read whole and bounded: what the join needs of it. The recording
// comes from a stranger: every count is checked against the bytes that hold it, and every
// chunk must lie within the chapter's one media data box.
class ChapterIndex
{
public:
    static const uint64_t MostSamples = 20000000;   // a day of 20 ms sound frames, with room

    bool Read(ByteSource& file);
    // The moov box alone, with the data range it refers to (tests, fuzzing).
    bool ReadMoov(const std::string& moov, uint64_t dataBegin, uint64_t dataEnd);

    const std::string& Problem() const { return m_problem; }
    const std::string& Moov() const { return m_moov; }
    const std::vector<ChapterTrack>& Tracks() const { return m_tracks; }
    uint32_t Timescale() const { return m_timescale; }
    uint64_t Duration() const { return m_duration; }       // in the movie's timescale
    uint64_t CreatedSeconds() const { return m_created; }  // since 1904; 0 when not told
    uint64_t DataBegin() const { return m_dataBegin; }     // the media data's payload
    uint64_t DataEnd() const { return m_dataEnd; }
    double Seconds() const { return m_timescale ? static_cast<double>(m_duration) / m_timescale : 0; }
    // The seconds the pictures last (the first picture track), else the whole.
    double PictureSeconds() const;

private:
    bool Fail(const std::string& why);
    bool ReadTrack(size_t begin, size_t end);
    bool ReadTables(ChapterTrack& t, size_t begin, size_t end);
    bool ChunksInside(const ChapterTrack& t);

    std::string m_problem;
    std::string m_moov;
    std::vector<ChapterTrack> m_tracks;
    uint32_t m_timescale = 0;
    uint64_t m_duration = 0;
    uint64_t m_created = 0;
    uint64_t m_dataBegin = 0, m_dataEnd = 0;
    uint64_t m_samples = 0;
};
