#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Finds where one raw AAC frame (an MP4 sample: no ADTS header, no length) ends by reading
// its syntax: raw AAC says its length nowhere else. Low Complexity, also as the core of
// HE-AAC (whose extra data sits in fill elements with a length of their own).
class AacFrameParser
{
public:
    // From the track's AudioSpecificConfig (esds); false for what it cannot read.
    bool Configure(const std::string& audioSpecificConfig);
    int SampleRateIndex() const { return m_rateIndex; }
    int Channels() const { return m_channels; }

    // The frame's length in bytes at data, or 0 when the bytes there are not one whole frame
    // of this configuration.
    size_t FrameLength(const uint8_t* data, size_t available) const;

private:
    int m_rateIndex = -1;
    int m_channels = 0;
};
