#include "mp4/SampleEntries.h"

#include "bytes/BigEndian.h"

using BigEndian::Put;

std::string SampleEntries::AvcEntry(const std::vector<std::string>& sets, int width, int height)
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
    Put(config, static_cast<uint32_t>(sps.size()), 2);
    config += sps;
    config.push_back(1);
    Put(config, static_cast<uint32_t>(pps.size()), 2);
    config += pps;
    return VisualEntry("avc1", "avcC", config, width, height);
}

std::string SampleEntries::HevcEntry(const std::vector<std::string>& sets, int width, int height)
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
    Put(config, 0xF000, 2);
    config += std::string("\xFC\xFD\xF8\xF8\0\0\x0F", 7);   // 4:2:0, 8 bits, 4-byte lengths
    int arrays = 0;
    std::string lists;
    for (int type = 32; type <= 34; ++type) {
        std::string list;
        int count = 0;
        for (const std::string& s : sets)
            if (!s.empty() && ((s[0] >> 1) & 0x3F) == type) {
                Put(list, static_cast<uint32_t>(s.size()), 2);
                list += s;
                ++count;
            }
        if (count == 0)
            continue;
        lists.push_back(static_cast<char>(0x80 | type));
        Put(lists, static_cast<uint32_t>(count), 2);
        lists += list;
        ++arrays;
    }
    config.push_back(static_cast<char>(arrays));
    return VisualEntry("hvc1", "hvcC", config + lists, width, height);
}

std::string SampleEntries::VisualEntry(const char* format, const char* box, const std::string& config,
                                       int width, int height)
{
    std::string entry;
    Put(entry, static_cast<uint32_t>(86 + 8 + config.size()), 4);
    entry += format;
    entry.append(6, '\0');
    Put(entry, 1, 2);                // data reference
    entry.append(16, '\0');
    Put(entry, static_cast<uint32_t>(width), 2);
    Put(entry, static_cast<uint32_t>(height), 2);
    Put(entry, 0x00480000, 4);
    Put(entry, 0x00480000, 4);
    Put(entry, 0, 4);
    Put(entry, 1, 2);                // frames per sample
    entry.append(32, '\0');         // compressor name
    Put(entry, 0x18, 2);
    Put(entry, 0xFFFF, 2);
    Put(entry, static_cast<uint32_t>(8 + config.size()), 4);
    entry += box;
    entry += config;
    return entry;
}

int SampleEntries::SampleRate(int rateIndex)
{
    static const int rates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    return rateIndex >= 0 && rateIndex < 13 ? rates[rateIndex] : 0;
}

std::string SampleEntries::AacEntry(int rateIndex, int channels, std::string& config)
{
    uint32_t bits = (2u << 11) | (static_cast<uint32_t>(rateIndex) << 7) | (static_cast<uint32_t>(channels) << 3);
    config.clear();
    Put(config, bits, 2);
    std::string decoderInfo = std::string("\x05\x02", 2) + config;
    std::string decoderConfig("\x04", 1);
    decoderConfig.push_back(static_cast<char>(13 + decoderInfo.size()));
    decoderConfig += std::string("\x40\x15\0\0\0", 5);   // AAC, audio stream; buffer size
    Put(decoderConfig, 0, 4);
    Put(decoderConfig, 0, 4);
    decoderConfig += decoderInfo;
    std::string es("\x03", 1);
    es.push_back(static_cast<char>(3 + decoderConfig.size() + 3));
    es += std::string("\0\x01\0", 3);
    es += decoderConfig;
    es += std::string("\x06\x01\x02", 3);
    std::string esds;
    Put(esds, static_cast<uint32_t>(12 + es.size()), 4);
    esds += "esds";
    Put(esds, 0, 4);
    esds += es;
    std::string entry;
    Put(entry, static_cast<uint32_t>(36 + esds.size()), 4);
    entry += "mp4a";
    entry.append(6, '\0');
    Put(entry, 1, 2);
    entry.append(8, '\0');
    Put(entry, static_cast<uint32_t>(channels), 2);
    Put(entry, 16, 2);
    Put(entry, 0, 4);
    Put(entry, static_cast<uint32_t>(SampleRate(rateIndex)) << 16, 4);
    return entry + esds;
}

std::string SampleEntries::DecoderConfig(const std::string& visualEntry, const char* type)
{
    const size_t children = 86;   // the box header and the visual sample entry's own fields
    size_t at = visualEntry.find(type, children);
    if (at == std::string::npos || at < children + 4)
        return std::string();
    size_t start = at - 4;
    uint32_t size = BigEndian::Be32(visualEntry, start);
    if (size < 8 || start + size > visualEntry.size())
        return std::string();
    return visualEntry.substr(at + 4, size - 8);
}
