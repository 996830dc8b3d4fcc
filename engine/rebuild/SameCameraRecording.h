#pragma once

#include "codec/NalUnitReader.h"
#include "rebuild/MdatScanner.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What a camera writes into a finished recording's index that a recording cut before its
// index cannot tell: the codecs' settings, the frame rate, the sound's frame length.
struct CameraSettings
{
    std::wstring from;               // the finished recording they were read from; "" for the stream's own
    VideoCodec codec = VideoCodec::H264;
    int nalLengthSize = 4;
    std::string videoEntry;          // sample entry box (avc1/hvc1 with its decoder config)
    uint32_t videoTimescale = 0;
    uint32_t frameTicks = 0;
    int width = 0, height = 0;
    std::string videoMatrix;         // the track header's matrix (a phone's rotation); "" plain
    std::string soundEntry;          // "mp4a" with its esds; "" when the sound cannot be split
    uint32_t soundTimescale = 0;
    uint32_t soundFrameTicks = 0;
    uint64_t soundSkip = 0;          // the encoder's priming the camera's edit list skips
    std::string soundFormat;         // as the finished recording names it, for what is left out
    std::string audioSpecificConfig; // AAC's settings from the esds
    uint32_t soundSampleBytes = 0;   // G.711 and PCM: each sample's size
    uint32_t soundChunkSamples = 0;  // ... and how many the camera writes to a chunk
    // What the tracks' headers say beyond the codecs: when each starts (an empty edit), the
    // language, the writer's name for it.
    double videoDelay = 0, soundDelay = 0;
    uint16_t videoLanguage = 0x55C4, soundLanguage = 0x55C4;
    std::string videoHandlerName, soundHandlerName;
    std::vector<SampleShape> others;  // the tracks it writes between pictures and sound

    // The decoder config (avcC/hvcC payload) inside the video sample entry.
    std::string DecoderConfig() const;
};

struct Mp4Track;

// What a finished recording of the same camera tells a cut one.
class SameCameraRecording
{
public:
    // A finished MP4/MOV's settings; false when it is not one or has no H.264/HEVC video.
    // stillWanted: false (or a throw) stops reading its index.
    static bool SettingsOf(const std::wstring& path, CameraSettings& out,
                           const std::function<bool()>& stillWanted = std::function<bool()>());

private:
    // What the first samples of its track number `track` look like.
    static SampleShape ShapeOf(const std::wstring& path, size_t track, const Mp4Track& t,
                               const std::function<bool()>& stillWanted);
};
