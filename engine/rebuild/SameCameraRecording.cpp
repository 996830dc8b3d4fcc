#include "rebuild/SameCameraRecording.h"

#include "mp4/Mp4Inspector.h"

#include <algorithm>

namespace {

// The payload of the box `type` inside a sample entry, after the entry's own fields.
std::string Inner(const std::string& entry, const char* type, size_t from)
{
    size_t at = entry.find(type, from);
    if (at == std::string::npos || at < 4)
        return std::string();
    size_t start = at - 4;
    uint32_t size = (static_cast<uint8_t>(entry[start]) << 24) | (static_cast<uint8_t>(entry[start + 1]) << 16) |
                    (static_cast<uint8_t>(entry[start + 2]) << 8) | static_cast<uint8_t>(entry[start + 3]);
    if (size < 8 || start + size > entry.size())
        return std::string();
    return entry.substr(at + 4, size - 8);
}

void Put16(std::string& s, uint32_t v)
{
    s.push_back(static_cast<char>(v >> 8));
    s.push_back(static_cast<char>(v));
}

void Put32(std::string& s, uint32_t v)
{
    Put16(s, v >> 16);
    Put16(s, v & 0xFFFF);
}

} // namespace

std::string CameraSettings::DecoderConfig() const
{
    return Inner(videoEntry, codec == VideoCodec::H264 ? "avcC" : "hvcC", 86);
}

bool SameCameraRecording::SettingsOf(const std::wstring& path, CameraSettings& out,
                                     const std::function<bool()>& stillWanted)
{
    Mp4Inspector index;
    index.WhileWanted(stillWanted);
    if (!index.InspectFile(path))
        return false;
    out = CameraSettings();
    out.from = path;
    bool video = false;
    for (const Mp4Track& t : index.Summary().tracks) {
        if (!video && t.handler == "vide" && t.timescale > 0 && t.sampleDelta > 0 && !t.sampleEntry.empty()) {
            bool avc = t.format == "avc1" || t.format == "avc3";
            bool hevc = t.format == "hvc1" || t.format == "hev1";
            if (!avc && !hevc)
                continue;
            out.codec = avc ? VideoCodec::H264 : VideoCodec::Hevc;
            out.nalLengthSize = t.nalLengthSize;
            out.videoEntry = t.sampleEntry;
            out.videoTimescale = t.timescale;
            out.frameTicks = t.sampleDelta;
            out.width = t.width;
            out.height = t.height;
            video = out.nalLengthSize > 0 && !out.DecoderConfig().empty();
        } else if (out.soundFormat.empty() && t.handler == "soun") {
            out.soundFormat = t.format;
            static const char* const fixedSize[] = {"ulaw", "alaw", "sowt", "twos", "raw ", "lpcm", "in24", "in32"};
            bool fixed = std::find_if(std::begin(fixedSize), std::end(fixedSize),
                                      [&t](const char* f) { return t.format == f; }) != std::end(fixedSize);
            if (fixed && t.sampleSize > 0 && t.timescale > 0 && t.sampleDelta > 0) {
                out.soundEntry = t.sampleEntry;
                out.soundTimescale = t.timescale;
                out.soundFrameTicks = t.sampleDelta;
                out.soundSampleBytes = t.sampleSize;
                out.soundChunkSamples = t.chunkSamples;
            }
            if (t.format == "mp4a" && t.objectType == 0x40 && t.timescale > 0 && t.sampleDelta > 0) {
                out.audioSpecificConfig = t.audioSpecificConfig;
                if (!out.audioSpecificConfig.empty()) {
                    out.soundEntry = t.sampleEntry;
                    out.soundTimescale = t.timescale;
                    out.soundFrameTicks = t.sampleDelta;
                    out.soundSkip = t.editSkip;
                }
            }
        }
    }
    return video;
}

std::string SameCameraRecording::AvcEntry(const std::vector<std::string>& sets, int width, int height)
{
    std::string sps, pps;
    for (const std::string& s : sets) {
        if (sps.empty() && !s.empty() && (s[0] & 0x1F) == 7)
            sps = s;
        if (pps.empty() && !s.empty() && (s[0] & 0x1F) == 8)
            pps = s;
    }
    if (sps.size() < 4 || pps.empty())
        return std::string();
    std::string config;
    config.push_back(1);
    config.append(sps, 1, 3);   // profile, its constraints, level
    config.push_back(static_cast<char>(0xFF));   // 4-byte lengths
    config.push_back(static_cast<char>(0xE1));
    Put16(config, static_cast<uint32_t>(sps.size()));
    config += sps;
    config.push_back(1);
    Put16(config, static_cast<uint32_t>(pps.size()));
    config += pps;
    return VisualEntry("avc1", "avcC", config, width, height);
}

std::string SameCameraRecording::HevcEntry(const std::vector<std::string>& sets, int width, int height)
{
    // The profile, tier and level fields follow the SPS's first byte after its NAL header.
    std::string sps;
    for (const std::string& s : sets)
        if (s.size() > 15 && ((s[0] >> 1) & 0x3F) == 33)
            sps = s;
    if (sps.empty())
        return std::string();
    std::string config;
    config.push_back(1);
    config.append(sps, 3, 12);
    Put16(config, 0xF000);
    config += std::string("\xFC\xFD\xF8\xF8\0\0\x0F", 7);   // 4:2:0, 8 bits, 4-byte lengths
    int arrays = 0;
    std::string lists;
    for (int type = 32; type <= 34; ++type) {
        std::string list;
        int count = 0;
        for (const std::string& s : sets)
            if (!s.empty() && ((s[0] >> 1) & 0x3F) == type) {
                Put16(list, static_cast<uint32_t>(s.size()));
                list += s;
                ++count;
            }
        if (count == 0)
            continue;
        lists.push_back(static_cast<char>(0x80 | type));
        Put16(lists, static_cast<uint32_t>(count));
        lists += list;
        ++arrays;
    }
    config.push_back(static_cast<char>(arrays));
    return VisualEntry("hvc1", "hvcC", config + lists, width, height);
}

std::string SameCameraRecording::VisualEntry(const char* format, const char* box, const std::string& config,
                                             int width, int height)
{
    std::string entry;
    Put32(entry, static_cast<uint32_t>(86 + 8 + config.size()));
    entry += format;
    entry.append(6, '\0');
    Put16(entry, 1);                 // data reference
    entry.append(16, '\0');
    Put16(entry, static_cast<uint32_t>(width));
    Put16(entry, static_cast<uint32_t>(height));
    Put32(entry, 0x00480000);
    Put32(entry, 0x00480000);
    Put32(entry, 0);
    Put16(entry, 1);                 // frames per sample
    entry.append(32, '\0');          // compressor name
    Put16(entry, 0x18);
    Put16(entry, 0xFFFF);
    Put32(entry, static_cast<uint32_t>(8 + config.size()));
    entry += box;
    entry += config;
    return entry;
}

int SameCameraRecording::SampleRate(int rateIndex)
{
    static const int rates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    return rateIndex >= 0 && rateIndex < 13 ? rates[rateIndex] : 0;
}

std::string SameCameraRecording::AacEntry(int rateIndex, int channels, std::string& config)
{
    uint32_t bits = (2u << 11) | (static_cast<uint32_t>(rateIndex) << 7) | (static_cast<uint32_t>(channels) << 3);
    config.clear();
    Put16(config, bits);
    std::string decoderInfo = std::string("\x05\x02", 2) + config;
    std::string decoderConfig("\x04", 1);
    decoderConfig.push_back(static_cast<char>(13 + decoderInfo.size()));
    decoderConfig += std::string("\x40\x15\0\0\0", 5);   // AAC, audio stream; buffer size
    Put32(decoderConfig, 0);
    Put32(decoderConfig, 0);
    decoderConfig += decoderInfo;
    std::string es("\x03", 1);
    es.push_back(static_cast<char>(3 + decoderConfig.size() + 3));
    es += std::string("\0\x01\0", 3);
    es += decoderConfig;
    es += std::string("\x06\x01\x02", 3);
    std::string esds;
    Put32(esds, static_cast<uint32_t>(12 + es.size()));
    esds += "esds";
    Put32(esds, 0);
    esds += es;
    std::string entry;
    Put32(entry, static_cast<uint32_t>(36 + esds.size()));
    entry += "mp4a";
    entry.append(6, '\0');
    Put16(entry, 1);
    entry.append(8, '\0');
    Put16(entry, static_cast<uint32_t>(channels));
    Put16(entry, 16);
    Put32(entry, 0);
    Put32(entry, static_cast<uint32_t>(SampleRate(rateIndex)) << 16);
    return entry + esds;
}
