#include "mp4/Mp4Inspector.h"

#include "bytes/BigEndian.h"
#include "bytes/MemoryFile.h"
#include "mp4/BoxHeader.h"
#include "windows/DiskFile.h"

#include <algorithm>
#include <new>

namespace {

using BigEndian::Be16;
using BigEndian::Be32;
using BigEndian::Be64;

// Where `what` first occurs in d within [from, end), or npos: a search never leaves the box it
// belongs to (an index of many small boxes would otherwise be searched to its end for each).
size_t FindWithin(const std::string& d, const char* what, size_t from, size_t end)
{
    end = std::min(end, d.size());
    if (from >= end)
        return std::string::npos;
    const char* at = std::search(d.data() + from, d.data() + end, what, what + 4);
    return at == d.data() + end ? std::string::npos : static_cast<size_t>(at - d.data());
}

// "mp4a" holds AAC or MP3 alike: its esds box's decoder config names which (0 when not found),
// and for AAC carries its settings (the AudioSpecificConfig).
int EsdsObjectType(const std::string& d, size_t from, size_t end, std::string& specific)
{
    size_t esds = FindWithin(d, "esds", from, end);
    if (esds == std::string::npos || esds + 8 > end)
        return 0;
    size_t p = esds + 8;   // past the box's version and flags
    int objectType = 0;
    for (int descriptor = 0; descriptor < 3 && p < end; ++descriptor) {
        unsigned char tag = static_cast<unsigned char>(d[p++]);
        size_t length = 0;
        for (int i = 0; i < 4 && p < end; ++i) {
            unsigned char b = static_cast<unsigned char>(d[p++]);
            length = (length << 7) | (b & 0x7F);
            if (!(b & 0x80))
                break;
        }
        if (tag == 0x05) {
            if (p + length <= end)
                specific = d.substr(p, length);
            break;
        }
        if (tag == 0x04) {
            if (p >= end)
                break;
            objectType = static_cast<unsigned char>(d[p]);
            p += 13;   // object type, stream type, buffer size, bit rates
            continue;
        }
        if (tag != 0x03 || p + 3 > end)
            break;
        unsigned char flags = static_cast<unsigned char>(d[p + 2]);
        p += 3;   // ES_ID and flags, then what the flags announce
        if (flags & 0x80)
            p += 2;
        if ((flags & 0x40) && p < end)
            p += 1 + static_cast<unsigned char>(d[p]);
        if (flags & 0x20)
            p += 2;
    }
    return objectType;
}

// avcC/hvcC: how many bytes give each NAL unit's length (0 when not found).
int NalLengthSize(const std::string& d, size_t from, size_t end)
{
    size_t avcc = FindWithin(d, "avcC", from, end);
    if (avcc != std::string::npos && avcc + 9 <= end)
        return (static_cast<unsigned char>(d[avcc + 8]) & 3) + 1;
    size_t hvcc = FindWithin(d, "hvcC", from, end);
    if (hvcc != std::string::npos && hvcc + 26 <= end)
        return (static_cast<unsigned char>(d[hvcc + 25]) & 3) + 1;
    return 0;
}

const char* const Stopped = "the reading of the MP4 was stopped";

const uint32_t MaxKeptSamples = 4000000;   // 22 hours of 20 ms sound frames

struct Box
{
    std::string type;
    size_t payload = 0;
    size_t end = 0;
};

// One box inside [pos, end) of d: its type and the range of its payload. An index holds
// whole boxes only: one that does not fit is damage.
bool NextBox(const std::string& d, size_t& pos, size_t end, Box& box)
{
    BoxHeader header;
    if (BoxHeader::Read(d, pos, end, header) != BoxHeader::Inside)
        return false;
    box.type = header.type;
    box.payload = pos + header.headerSize;
    box.end = pos + static_cast<size_t>(header.size);
    pos = box.end;
    return true;
}

} // namespace

bool Mp4Inspector::Fail(const std::string& why)
{
    if (m_problem.empty())
        m_problem = why;
    return false;
}

bool Mp4Inspector::InspectBytes(const std::string& bytes)
{
    MemoryFile file(bytes);
    return Inspect(file);
}

bool Mp4Inspector::InspectFile(const std::wstring& path)
{
    DiskFile file;
    if (!file.OpenRead(path, false))
        return Fail("the MP4 could not be opened");
    return Inspect(file);
}

bool Mp4Inspector::ReadTracks(const std::wstring& path)
{
    DiskFile file;
    if (!file.OpenRead(path, false))
        return Fail("the MP4 could not be opened");
    return ReadTracks(file);
}

bool Mp4Inspector::ReadTracks(ByteSource& file)
{
    m_tracksOnly = true;
    bool ok = Inspect(file);
    m_tracksOnly = false;
    return ok;
}

bool Mp4Inspector::Inspect(ByteSource& file)
{
    m_summary = Mp4Summary();
    m_summary.fileSize = file.Size();
    m_samples.clear();
    m_problem.clear();
    m_sampleBytes = m_lastChunk = m_boxes = 0;
    m_movieTimescale = 0;
    try {
        return Walk(file);
    } catch (const std::bad_alloc&) {
        m_samples.clear();
        m_samples.shrink_to_fit();
        return Fail("the MP4's index is too large to read in this program's memory");
    }
}

bool Mp4Inspector::Walk(ByteSource& file)
{
    const uint64_t fileSize = m_summary.fileSize;
    if (fileSize == 0)
        return Fail("the MP4 is empty");

    bool haveMoov = false, haveMdat = false, haveFtyp = false;
    std::string moov;
    uint64_t pos = 0;
    while (pos < fileSize) {
        if (++m_boxes % 1024 == 0 && !StillWanted())
            return Fail(Stopped);
        BoxHeader box;
        BoxHeader::Fit fit = BoxHeader::Read(file, pos, fileSize, box);
        if (fit == BoxHeader::CutHeader || fit == BoxHeader::Unreadable)
            return Fail("the MP4 ends inside a box header");
        const std::string& type = box.type;
        const uint64_t size = box.size, header = box.headerSize;
        if (fit == BoxHeader::Damaged)
            return Fail("the MP4 has a damaged box '" + type + "'");
        if (fit == BoxHeader::Beyond) {
            m_summary.cutShort = true;
            if (m_tracksOnly && type != "moov")
                break;
            return Fail("the MP4 is cut off: box '" + type + "' runs past the end of the file");
        }
        if (type == "ftyp")
            haveFtyp = true;
        else if (type == "mdat") {
            if (!haveMdat && size > header)
                m_summary.indexFirst = haveMoov;
            haveMdat = haveMdat || size > header;
        }
        else if (type == "moov" && !haveMoov) {   // players read the first; so does this
            if (size > MostIndexBytes)
                return Fail("the MP4's index is implausibly large");
            if (!file.ReadExactly(pos, static_cast<uint32_t>(size), moov))
                return Fail("the MP4's index could not be read");
            haveMoov = true;
        }
        pos += size;
    }
    if (!haveFtyp && !m_tracksOnly)
        return Fail("the file is not an MP4 (no ftyp box)");
    if (!haveMoov)
        return Fail("the MP4 has no index (moov box): ffmpeg did not finish it");
    if (!haveMdat && !m_tracksOnly)
        return Fail("the MP4 holds no media data");
    if (!ParseMoov(moov))
        return false;
    if (m_summary.tracks.empty())
        return Fail("the MP4 holds no streams");
    if (!m_tracksOnly && (m_sampleBytes > fileSize || m_lastChunk >= fileSize))
        return Fail("the MP4 is cut off: its index points past the end of the file");
    for (const Mp4Track& t : m_summary.tracks)
        if (t.duration > m_summary.duration)
            m_summary.duration = t.duration;
    return true;
}

bool Mp4Inspector::ParseMoov(const std::string& moov)
{
    size_t pos = 0;
    Box outer;
    if (!NextBox(moov, pos, moov.size(), outer))
        return Fail("the MP4's index is damaged");
    pos = outer.payload;
    Box box;
    while (pos < outer.end) {
        if (!NextBox(moov, pos, outer.end, box))
            return Fail("the MP4's index is damaged");
        if (box.type == "mvhd" && box.end - box.payload >= 24)
            m_movieTimescale = Be32(moov, box.payload + (moov[box.payload] == 1 ? 20 : 12));
        if (box.type == "trak" && !ParseTrack(moov, box.payload, box.end))
            return false;
    }
    return true;
}

bool Mp4Inspector::ParseTrack(const std::string& d, size_t begin, size_t end)
{
    Mp4Track track;
    uint32_t timescale = 0;
    uint64_t duration = 0;
    bool haveSizes = false, haveDescription = false;
    uint64_t longest = 0;
    const bool keep = static_cast<int>(m_summary.tracks.size()) == m_keptTrack;
    std::vector<uint32_t> sizes;   // kept only for the samples' places
    std::vector<uint64_t> chunks;
    size_t stsc = 0, stscEnd = 0;
    // Walk the containers on the way to the sample table; leaves are read in place.
    struct Range { size_t pos, end; };
    std::vector<Range> stack{{begin, end}};
    while (!stack.empty()) {
        Range& r = stack.back();
        if (r.pos >= r.end) {
            stack.pop_back();
            continue;
        }
        if (++m_boxes % 1024 == 0 && !StillWanted())
            return Fail(Stopped);
        Box b;
        if (!NextBox(d, r.pos, r.end, b))
            return Fail("the MP4's track index is damaged");
        const size_t p = b.payload;
        const size_t len = b.end - b.payload;
        if (b.type == "mdia" || b.type == "minf" || b.type == "stbl" || b.type == "edts") {
            if (stack.size() < 8)
                stack.push_back(Range{b.payload, b.end});
        } else if (b.type == "tkhd") {
            size_t at = p + (len > 0 && d[p] == 1 ? 88 : 76);
            if (at + 8 <= b.end) {
                track.matrix = d.substr(at - 36, 36);
                track.width = static_cast<int>(Be32(d, at) >> 16);
                track.height = static_cast<int>(Be32(d, at + 4) >> 16);
            }
        } else if (b.type == "mdhd") {
            if (len >= 34 && d[p] == 1) {
                timescale = Be32(d, p + 20);
                duration = Be64(d, p + 24);
                track.language = static_cast<uint16_t>(Be16(d, p + 32));
            } else if (len >= 22) {
                timescale = Be32(d, p + 12);
                duration = Be32(d, p + 16);
                track.language = static_cast<uint16_t>(Be16(d, p + 20));
            }
        } else if (b.type == "hdlr") {
            // QuickTime has a second one in minf, for the data ("alis"): the media's comes first.
            if (len >= 12 && track.handler.empty()) {
                track.handler = d.substr(p + 8, 4);
                // A C string, or (QuickTime) one counted by its first byte.
                std::string name = len > 24 ? d.substr(p + 24, std::min<size_t>(len - 24, 64)) : std::string();
                if (!name.empty() && static_cast<uint8_t>(name[0]) == name.size() - 1)
                    name.erase(0, 1);
                track.handlerName = name.substr(0, name.find('\0'));
            }
        } else if (b.type == "stsd" && !haveDescription) {
            // version/flags, entry count, then the first sample entry. Players take the first
            // description; what a track states more is passed by.
            haveDescription = true;
            if (len >= 16) {
                size_t entry = p + 8;
                track.format = d.substr(entry + 4, 4);
                uint32_t entrySize = Be32(d, entry);
                if (entrySize >= 8 && entrySize <= 65536 && entry + entrySize <= b.end)
                    track.sampleEntry = d.substr(entry, entrySize);
                if (track.handler == "vide" && entry + 36 <= b.end) {
                    track.width = Be16(d, entry + 32);
                    track.height = Be16(d, entry + 34);
                    track.nalLengthSize = NalLengthSize(d, entry + 86, b.end);
                } else if (track.handler == "soun" && entry + 36 <= b.end) {
                    track.channels = Be16(d, entry + 24);
                    track.sampleRate = static_cast<int>(Be32(d, entry + 32) >> 16);
                    track.objectType = EsdsObjectType(d, entry + 36, b.end, track.audioSpecificConfig);
                }
            }
        } else if (b.type == "stsz") {
            if (len < 12)
                return Fail("the MP4's sample table is damaged");
            uint32_t fixed = Be32(d, p + 4);
            uint32_t count = Be32(d, p + 8);
            track.samples = count;
            track.sampleSize = fixed;
            haveSizes = true;
            if (fixed == 0 && len < 12 + static_cast<uint64_t>(count) * 4)
                return Fail("the MP4's sample table is cut short");
            // Within bounds: a declared count the file cannot hold is not spelled out.
            bool sized = keep && count <= MaxKeptSamples &&
                         (fixed == 0 || static_cast<uint64_t>(fixed) * count <= m_summary.fileSize);
            if (sized)
                sizes.reserve(count);
            for (uint32_t i = 0; sized && i < count; ++i)
                sizes.push_back(fixed != 0 ? fixed : Be32(d, p + 12 + static_cast<size_t>(i) * 4));
            if (fixed != 0) {
                m_sampleBytes += static_cast<uint64_t>(fixed) * count;
                track.largestSample = fixed;
            }
            else
                for (uint32_t i = 0; i < count; ++i) {
                    m_sampleBytes += Be32(d, p + 12 + static_cast<size_t>(i) * 4);
                    track.largestSample = std::max(track.largestSample, Be32(d, p + 12 + static_cast<size_t>(i) * 4));
                }
        } else if (b.type == "stts") {
            uint32_t entries = len >= 8 ? Be32(d, p + 4) : 0;
            if (len < 8 + static_cast<uint64_t>(entries) * 8)
                return Fail("the MP4's time table is cut short");
            if (entries > 0)
                track.sampleDelta = Be32(d, p + 12);
            uint32_t mostSamples = 0;
            for (uint32_t i = 0; i < entries; ++i) {
                size_t at = p + 8 + static_cast<size_t>(i) * 8;
                longest = std::max<uint64_t>(longest, Be32(d, at + 4));
                if (Be32(d, at) > mostSamples) {
                    mostSamples = Be32(d, at);
                    track.typicalDelta = Be32(d, at + 4);
                }
            }
        } else if (b.type == "stz2") {
            if (len < 12)
                return Fail("the MP4's sample table is damaged");
            track.samples = Be32(d, p + 8);
            haveSizes = true;
        } else if (b.type == "stco" || b.type == "co64") {
            if (len < 8)
                return Fail("the MP4's chunk table is damaged");
            uint32_t count = Be32(d, p + 4);
            size_t width = b.type == "stco" ? 4 : 8;
            if (len < 8 + static_cast<uint64_t>(count) * width)
                return Fail("the MP4's chunk table is cut short");
            // A kept track's chunk list is bounded as its sample list is: never more chunks
            // than samples can fill.
            bool listed = keep && chunks.empty() && count <= MaxKeptSamples;
            if (listed)
                chunks.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                size_t at = p + 8 + static_cast<size_t>(i) * width;
                uint64_t off = width == 4 ? Be32(d, at) : Be64(d, at);
                if (off > m_lastChunk)
                    m_lastChunk = off;
                if (listed)
                    chunks.push_back(off);
            }
        } else if (b.type == "elst") {
            // The first edit that shows media: where it starts in the media; empty edits
            // before it start the track later.
            bool wide = len >= 4 && d[p] == 1;
            size_t entry = wide ? 20 : 12;
            uint32_t entries = len >= 8 ? Be32(d, p + 4) : 0;
            uint64_t empty = 0;
            for (uint32_t i = 0; i < entries && i < 16 && 8 + (i + 1) * entry <= len; ++i) {
                size_t at = p + 8 + i * entry;
                uint64_t span = wide ? Be64(d, at) : Be32(d, at);
                at += wide ? 8 : 4;
                int64_t start = wide ? static_cast<int64_t>(Be64(d, at)) : static_cast<int32_t>(Be32(d, at));
                if (start >= 0) {
                    track.editSkip = static_cast<uint64_t>(start);
                    break;
                }
                empty += span;
            }
            if (m_movieTimescale > 0)
                track.editDelay = static_cast<double>(empty) / m_movieTimescale;
        } else if (b.type == "stsc") {
            stsc = p;
            stscEnd = b.end;
            if (len >= 20)
                track.chunkSamples = Be32(d, p + 12);
        }
    }
    if (!sizes.empty() && !PlaceSamples(sizes, chunks, d, stsc, stscEnd))
        return Fail("the MP4's sample-to-chunk table is damaged");
    if (!haveSizes)
        return Fail("the MP4's track has no sample table");
    track.timescale = timescale;
    if (timescale > 0) {
        track.duration = static_cast<double>(duration) / timescale;
        track.longestSample = static_cast<double>(longest) / timescale;
    }
    m_summary.tracks.push_back(track);
    return true;
}

bool Mp4Inspector::PlaceSamples(const std::vector<uint32_t>& sizes, const std::vector<uint64_t>& chunks,
                                const std::string& d, size_t stsc, size_t stscEnd)
{
    // stsc: runs of chunks holding the same number of samples. Chunks count from 1 and each
    // run starts after the one before; anything else places no sample.
    uint32_t entries = stsc + 8 <= stscEnd ? Be32(d, stsc + 4) : 0;
    if (stsc + 8 + static_cast<uint64_t>(entries) * 12 > stscEnd)
        return false;
    size_t sample = 0;
    for (uint32_t e = 0; e < entries && sample < sizes.size(); ++e) {
        size_t at = stsc + 8 + static_cast<size_t>(e) * 12;
        uint64_t first = Be32(d, at);
        uint64_t last = e + 1 < entries ? Be32(d, at + 12) : chunks.size() + 1;
        uint32_t perChunk = Be32(d, at + 4);
        if (first == 0 || (e + 1 < entries && last <= first))
            return false;
        for (uint64_t c = first; c < last && c <= chunks.size() && sample < sizes.size(); ++c) {
            uint64_t offset = chunks[static_cast<size_t>(c - 1)];
            for (uint32_t i = 0; i < perChunk && sample < sizes.size(); ++i, ++sample) {
                m_samples.push_back(SampleSpan{offset, sizes[sample]});
                offset += sizes[sample];
            }
        }
    }
    return true;
}
