#pragma once

#include <string>
#include <vector>

// Sample entries (the codec settings an MP4 track's stsd holds) for streams that carry their
// settings themselves: a rebuilt recording's index, when no finished one describes them.
class SampleEntries
{
public:
    // An avc1 sample entry for parameter sets the stream carries itself.
    static std::string AvcEntry(const std::vector<std::string>& parameterSets, int width, int height);
    static std::string HevcEntry(const std::vector<std::string>& parameterSets, int width, int height);
    // An mp4a sample entry for AAC Low Complexity sound of this rate and channel count.
    static std::string AacEntry(int rateIndex, int channels, std::string& audioSpecificConfig);
    // The rate in Hz of AAC's sampling frequency index (0 for none).
    static int SampleRate(int rateIndex);
    // The payload of a visual sample entry's codec settings box (`type` "avcC", "hvcC"), or "".
    static std::string DecoderConfig(const std::string& visualEntry, const char* type);

private:
    static std::string VisualEntry(const char* format, const char* box, const std::string& config, int width,
                                   int height);
};
