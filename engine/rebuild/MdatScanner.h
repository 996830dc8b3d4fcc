#pragma once

#include "bytes/ByteSink.h"
#include "bytes/ByteSource.h"
#include "codec/AacFrameParser.h"
#include "codec/NalUnitReader.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A track's samples as the camera wrote them: runs of neighbouring samples form a chunk.
struct FoundTrack
{
    struct Chunk
    {
        uint64_t offset = 0;   // in the recording
        uint32_t samples = 0;
    };
    std::vector<Chunk> chunks;
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> keys;       // video: the numbers (from 1) of pictures a player can start at
    std::vector<long long> order;     // video: presentation order of each picture, when the stream tells it
    uint64_t bytes = 0;
    uint64_t chunkEnd = 0;

    uint32_t fixedSize = 0;           // sound of fixed-size samples (G.711, PCM): no size list
    uint64_t fixedSamples = 0;

    void Add(uint64_t offset, uint32_t size);
    // `samples` samples of `size` bytes from `offset` on, as one chunk.
    void AddFixed(uint64_t offset, uint64_t samples, uint32_t size);
    uint64_t Samples() const { return fixedSize ? fixedSamples : sizes.size(); }
};

// Samples of another track a camera writes between its pictures and sound (telemetry, a
// timecode, timed metadata), as a finished recording shows them: not taken for damage, and
// listed again where the finished recording tells how.
struct SampleShape
{
    std::string format;        // "gpmd", "tmcd", "mebx", ...
    uint32_t fixedSize = 0;    // each sample this long (a timecode's 4 bytes); 0: they vary
    uint32_t largest = 0;      // the longest sample
    std::string prefix;        // bytes every sample starts with; "" none
    bool boxes = false;        // each sample a run of boxes: a 32-bit size, a 4-byte key
    std::string keys;          // ... whose keys are among these (4 bytes each); "" any
    bool gpmf = false;         // each sample one GPMF "DEVC" record (GoPro's telemetry)

    // The finished recording's track, to list the samples found again; no entry: stepped over.
    std::string sampleEntry, handler, handlerName;
    uint32_t timescale = 0;
    uint32_t ticks = 0;        // a sample's usual length
    bool whole = false;        // one sample lasts the whole recording (a timecode)
    uint16_t language = 0x55C4;
};

// Walks a recording's media data whose index was never written, telling its pictures from
// its sound frames, and copies the data it walked to `out` as it goes (one read of the
// recording). Forward only, in a window of bounded size.
class MdatScanner
{
public:
    // progress(bytes done, bytes in all) returns false to stop.
    typedef std::function<bool(uint64_t, uint64_t)> Progress;

    // Sound is AAC (`sound`), or samples of `fixedSoundBytes` each that the camera writes
    // `chunkSamples` to a chunk (0: as many as come), or neither.
    MdatScanner(NalUnitReader& video, const AacFrameParser* sound, uint32_t fixedSoundBytes = 0,
                uint32_t chunkSamples = 0);
    ~MdatScanner();
    // The other tracks a finished recording of the camera shows; GPMF telemetry, a timecode's
    // 4 bytes and runs of key boxes are recognised without one as well.
    void StepOver(const std::vector<SampleShape>& others);

    // Reads [begin, end) of `file`; stops early after `limit` bytes (0: none). `out` (may be
    // null) receives [begin, end of the last sample found). False when reading or writing failed
    // or progress said stop.
    bool Scan(ByteSource& file, uint64_t begin, uint64_t end, uint64_t limit, ByteSink* out, const Progress& progress);

    const FoundTrack& Video() const { return m_pictures; }
    const FoundTrack& Sound() const { return m_frames; }
    uint64_t LastEnd() const { return m_lastEnd; }      // end of the last sample found
    uint64_t Unrecognised() const { return m_skipped; }   // bytes neither picture nor sound
    uint64_t Zeros() const { return m_zeros; }   // ... of them in runs of zeros
    // Stretches of zeros (a card's bad blocks, a camera's filler) the walk skipped to go on after them.
    struct Damage
    {
        uint64_t at = 0, bytes = 0;
        uint64_t pictures = 0;   // found before it
    };
    static const uint64_t LeastDamage = 16u << 10;   // less is a cut sample, not a damaged stretch
    const std::vector<Damage>& Damaged() const { return m_damaged; }
    // The samples of other tracks found, one track for each shape (those given first).
    const std::vector<FoundTrack>& Others() const { return m_otherTracks; }
    const std::vector<SampleShape>& OtherShapes() const { return m_others; }
    // Of the shapes with no sample entry (not listed again): samples, bytes, formats.
    uint64_t SteppedOverSamples() const;
    uint64_t SteppedOverBytes() const;
    std::string SteppedOverFormats() const;
    unsigned long Error() const { return m_error; }
    // The walk stopped because `out` could not be written (else the recording could not be read).
    bool WriteFailed() const { return m_writeFailed; }
    // The walk stopped at the most samples one recording may have.
    bool Bounded() const { return m_bounded; }

private:
    struct Picture
    {
        bool open = false;
        bool hasSlice = false;
        bool key = false;
        long long order = -1;
        uint64_t start = 0, end = 0;
    };
    const uint8_t* View(uint64_t at, size_t n);
    bool Slide();
    bool Follows(uint64_t at);
    // The length of another track's sample at `at` that what follows continues, or 0; which:
    // the shape it has. glance: what follows need only start like a sample.
    size_t OtherSampleAt(uint64_t at, size_t& which, bool glance);
    size_t ShapedAt(uint64_t at, const SampleShape& shape, bool glance);
    // A picture, sound frame or telemetry sample that continues the stream starts at `at`.
    bool Continues(uint64_t at);
    // ... or something that starts like one (its end not looked at).
    bool StartsHere(uint64_t at);
    // Headers (SEI, parameter sets, delimiter) at `at` lead to a picture that continues the stream.
    bool LeadsToPicture(uint64_t at);
    size_t SoundFrameAt(uint64_t at);
    // How many zero bytes from `at` on (up to 64 KB).
    size_t ZerosAt(uint64_t at);
    // The length of the telemetry sample at `at`, or 0.
    size_t TelemetryAt(uint64_t at);
    bool NextPicture(uint64_t& at);
    bool PictureAt(uint64_t at);
    // Fixed-size sound from `at` to the next picture (or the end): false when there is none.
    bool FixedSound(uint64_t& at);
    void Close(Picture& p);

    NalUnitReader& m_video;
    const AacFrameParser* m_sound;
    uint32_t m_fixedBytes;
    uint32_t m_chunkSamples;
    ByteSource* m_file = nullptr;
    ByteSink* m_out = nullptr;
    uint64_t m_end = 0;
    std::vector<uint8_t> m_buffer;
    size_t m_windowBytes = 0;
    uint64_t m_windowStart = 0, m_windowEnd = 0, m_commit = 0;
    bool m_failed = false;
    bool m_bounded = false;
    unsigned long m_error = 0;
    bool m_writeFailed = false;
    FoundTrack m_pictures, m_frames;
    uint64_t m_lastEnd = 0, m_skipped = 0;
    std::vector<SampleShape> m_others;
    std::vector<FoundTrack> m_otherTracks;
    size_t m_otherCount = 0;
    uint32_t m_largestUnit = 0;   // the largest slice taken
    std::vector<Damage> m_damaged;
    uint64_t m_zeros = 0;
};
