#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class VideoCodec { H264, Hevc };

class BitReader;

// One length-prefixed NAL unit as an MP4 sample holds it.
struct NalUnit
{
    uint32_t size = 0;            // with its length prefix
    int type = 0;
    bool picture = false;         // a slice of a coded picture
    bool startsPicture = false;   // the first slice of a new picture, or what may only precede one
    bool key = false;             // a picture a player can start from
    bool reference = true;
    int frameNum = 0;             // H.264
    int pocLsb = -1;              // H.264 with picture order type 0, HEVC but IDR
    int temporalId = 0;           // HEVC
    bool field = false, bottom = false;
};

// Tells a camera's H.264/HEVC NAL units from other bytes (the sound between them, damage) by
// what the codec allows after the parameter sets, and follows the pictures' numbering.
class NalUnitReader
{
public:
    NalUnitReader(VideoCodec codec, int lengthSize) : m_codec(codec), m_lengthSize(lengthSize) {}

    // The parameter sets of an avcC/hvcC box's payload.
    bool TakeDecoderConfig(const std::string& config);
    // One SPS/PPS (and VPS) NAL unit without its length.
    bool TakeParameterSet(const uint8_t* nal, size_t size);
    bool HasParameterSets() const { return !m_sps.empty() && !m_pps.empty(); }
    const std::vector<std::string>& RawParameterSets() const { return m_raw; }

    // The NAL unit at data; false when the bytes there cannot be one that continues this stream
    // (with `strict`, a picture must carry the number that follows the last one).
    bool Read(const uint8_t* data, size_t available, NalUnit& out, bool strict = true) const;
    // A picture's first slice was taken: its presentation order (H.264 order type 0), else -1.
    long long TakePicture(const NalUnit& first);
    // Whether a slice of the same picture follows: fields of one frame go in one sample.
    bool SecondField(const NalUnit& slice) const;

    VideoCodec Codec() const { return m_codec; }
    int LengthSize() const { return m_lengthSize; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // The stream's own frame timing (H.264 VUI, HEVC VPS): ticks per second and per frame, or 0.
    uint32_t TimeScale() const { return m_timeScale; }
    uint32_t FrameTicks() const { return m_frameTicks; }

private:
    struct Sps
    {
        int id = 0;
        int log2MaxFrameNum = 4;
        int pocType = 0;
        int log2MaxPocLsb = 4;
        bool frameMbsOnly = true;
        bool separatePlanes = false;
        long long pictureMbs = 0;
    };
    bool ReadH264(const uint8_t* nal, size_t size, NalUnit& out, bool strict) const;
    bool ReadHevc(const uint8_t* nal, size_t size, NalUnit& out) const;
    bool ParseSps(const std::string& rbsp);
    const Sps* SpsOfPps(int ppsId) const;

    VideoCodec m_codec;
    int m_lengthSize;
    std::vector<Sps> m_sps;
    struct Pps
    {
        int id = 0, sps = 0;
        // HEVC: what the slice header holds before its picture order
        bool dependentSlices = false, outputFlag = false;
        int extraBits = 0;
    };
    bool ParseHevcVps(const std::string& rbsp);
    bool ParseHevcSps(const std::string& rbsp);
    void HevcTiming(BitReader& in, int subLayers, int log2MaxPocLsb);
    // num_units_in_tick and time_scale, when they make a rate cameras use.
    void TakeTiming(BitReader& in, uint32_t ticksPerFrame);
    bool ParseHevcPps(const std::string& rbsp);
    const Pps* FindPps(int id) const;
    std::vector<Pps> m_pps;
    std::vector<std::string> m_raw;
    int m_width = 0, m_height = 0;
    uint32_t m_timeScale = 0, m_frameTicks = 0;
    // Running state of the pictures taken.
    bool m_started = false;
    int m_lastRefFrameNum = 0;
    long long m_prevPocMsb = 0;
    int m_prevPocLsb = 0;
    NalUnit m_lastPicture;
};
