#include "join/ChapterIndex.h"

#include "bytes/BigEndian.h"
#include "mp4/BoxHeader.h"
#include "mp4/Mp4Inspector.h"

#include <algorithm>

namespace {

using BigEndian::Be16;
using BigEndian::Be32;
using BigEndian::Be64;

struct Child : BoxHeader::Span
{
    std::string type;
};

bool Next(const std::string& d, size_t& at, size_t end, Child& c)
{
    BoxHeader h;
    if (!BoxHeader::Next(d, at, end, h, c))
        return false;
    c.type = h.type;
    return true;
}

// A table's entry count, checked against the bytes that hold its entries.
bool Entries(const std::string& d, const Child& c, size_t header, size_t each, uint32_t& count)
{
    if (c.end - c.payload < header)
        return false;
    count = Be32(d, c.payload + header - 4);
    return count <= (c.end - c.payload - header) / each;
}

} // namespace

bool ChapterIndex::Fail(const std::string& why)
{
    if (m_problem.empty())
        m_problem = why;
    return false;
}

double ChapterIndex::PictureSeconds() const
{
    for (const ChapterTrack& t : m_tracks)
        if (t.handler == "vide" && t.timescale)
            return static_cast<double>(t.mediaTicks) / t.timescale;
    return Seconds();
}

bool ChapterIndex::Read(ByteSource& file)
{
    const uint64_t size = file.Size();
    uint64_t moovAt = 0, moovSize = 0;
    int mdats = 0;
    for (uint64_t at = 0; at < size;) {
        BoxHeader h;
        BoxHeader::Fit fit = BoxHeader::Read(file, at, size, h);
        if (fit != BoxHeader::Inside)
            return Fail(fit == BoxHeader::Beyond || fit == BoxHeader::CutHeader
                            ? "it is cut short (its " + h.type + " box runs past the end)"
                            : "its boxes are damaged");
        if (h.type == "moov") {
            moovAt = at;
            moovSize = h.size;
        } else if (h.type == "mdat") {
            ++mdats;
            m_dataBegin = at + h.headerSize;
            m_dataEnd = at + h.size;
        }
        at += h.size;
    }
    if (moovSize == 0)
        return Fail("it has no index (moov)");
    if (mdats != 1)
        return Fail(mdats ? "its media data lies in several boxes" : "it has no media data");
    if (moovSize > Mp4Inspector::MostIndexBytes)
        return Fail("its index is larger than any camera writes");
    std::string moov;
    if (!file.ReadExactly(moovAt, static_cast<uint32_t>(moovSize), moov))
        return Fail("its index could not be read");
    if (!ReadMoov(moov, m_dataBegin, m_dataEnd))
        return false;
    // A timecode track's one sample: the frame number the chapter starts at.
    for (ChapterTrack& t : m_tracks) {
        std::string frame;
        if (t.handler == "tmcd" && !t.chunks.empty() && file.ReadExactly(t.chunks[0], 4, frame))
            t.firstFrame = Be32(frame, 0);
    }
    return true;
}

bool ChapterIndex::ReadMoov(const std::string& moov, uint64_t dataBegin, uint64_t dataEnd)
{
    m_moov = moov;
    m_dataBegin = dataBegin;
    m_dataEnd = dataEnd;
    size_t at = 0;
    Child movie, box;
    if (!Next(m_moov, at, m_moov.size(), movie) || movie.type != "moov")
        return Fail("its index is damaged");
    for (size_t p = movie.payload; Next(m_moov, p, movie.end, box);) {
        if (box.type == "mvhd" && box.end - box.payload >= 32) {
            int version = m_moov[box.payload];
            size_t f = box.payload + 4;
            m_created = version == 1 ? Be64(m_moov, f) : Be32(m_moov, f);
            m_timescale = Be32(m_moov, f + (version == 1 ? 16 : 8));
            m_duration = version == 1 ? Be64(m_moov, f + 20) : Be32(m_moov, f + 12);
        } else if (box.type == "trak" && !ReadTrack(box.payload, box.end)) {
            return false;
        }
    }
    if (m_timescale == 0 || m_tracks.empty())
        return Fail("its index lists no tracks");
    return true;
}

bool ChapterIndex::ReadTrack(size_t begin, size_t end)
{
    ChapterTrack t;
    const std::string& d = m_moov;
    Child c;
    struct Range
    {
        size_t at, end;
        std::string parent;
    };
    std::vector<Range> inner(1, Range{begin, end, "trak"});
    int tables = 0;
    while (!inner.empty()) {
        Range r = inner.back();
        inner.pop_back();
        for (size_t at = r.at; Next(d, at, r.end, c);) {
            // Each box only where it belongs: a stray copy elsewhere is not the track's.
            const std::string& in = r.parent;
            if (((c.type == "mdia" || c.type == "edts") && in == "trak") || (c.type == "minf" && in == "mdia")) {
                inner.push_back(Range{c.payload, c.end, c.type});
            } else if (c.type == "tkhd" && in == "trak" && c.end - c.payload >= 84) {
                t.matrix = d.substr(c.end - 44, 36);
                t.width = static_cast<int>(Be32(d, c.end - 8) >> 16);
                t.height = static_cast<int>(Be32(d, c.end - 4) >> 16);
            } else if (c.type == "mdhd" && in == "mdia" && c.end - c.payload >= 24) {
                t.timescale = Be32(d, c.payload + (d[c.payload] == 1 ? 20 : 12));
            } else if (c.type == "hdlr" && in == "mdia" && c.end - c.payload >= 12) {
                // (QuickTime's minf holds a data handler of its own)
                t.handler = d.substr(c.payload + 8, 4);
            } else if (c.type == "elst" && in == "edts") {
                int version = d[c.payload];
                size_t each = version == 1 ? 20 : 12;
                uint32_t n = 0;
                if (!Entries(d, c, 8, each, n) || n > 64)
                    return Fail("its edit list is damaged");
                for (uint32_t i = 0; i < n; ++i) {
                    size_t e = c.payload + 8 + i * each;
                    uint64_t length = version == 1 ? Be64(d, e) : Be32(d, e);
                    int64_t media = version == 1 ? static_cast<int64_t>(Be64(d, e + 8))
                                                 : static_cast<int32_t>(Be32(d, e + 4));
                    t.edits.push_back({length, media});
                }
            } else if (c.type == "stbl" && in == "minf") {
                // One table a track: the join writes each stbl it meets with the track's tables.
                if (tables++ || !ReadTables(t, c.payload, c.end))
                    return tables > 1 ? Fail("a track of its index holds two sample tables") : false;
            }
        }
    }
    if (t.timescale == 0 || t.sampleEntries.empty())
        return Fail("a track of its index is incomplete");
    // stsd header (16), the entry's header (16), reserved and flags (8): then its rate.
    if (t.handler == "tmcd" && t.sampleEntries.size() >= 49) {
        uint32_t scale = Be32(t.sampleEntries, 40), frame = Be32(t.sampleEntries, 44);
        t.framesPerSecond = frame ? static_cast<double>(scale) / frame : 0;
    }
    m_tracks.push_back(std::move(t));
    return ChunksInside(m_tracks.back());
}

bool ChapterIndex::ReadTables(ChapterTrack& t, size_t begin, size_t end)
{
    const std::string& d = m_moov;
    Child c;
    uint64_t ctsSamples = 0;
    for (size_t at = begin; Next(d, at, end, c);) {
        uint32_t n = 0;
        if (c.type == "stsd") {
            t.sampleEntries = d.substr(c.begin, c.end - c.begin);
        } else if (c.type == "stts") {
            if (!Entries(d, c, 8, 8, n))
                return Fail("its sample times are damaged");
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t count = Be32(d, c.payload + 8 + 8 * i);
                t.lengths.push_back({count, Be32(d, c.payload + 12 + 8 * i)});
                t.mediaTicks += static_cast<uint64_t>(count) * t.lengths.back().second;
            }
        } else if (c.type == "ctts") {
            if (!Entries(d, c, 8, 8, n))
                return Fail("its picture order is damaged");
            for (uint32_t i = 0; i < n; ++i) {
                int32_t offset = static_cast<int32_t>(Be32(d, c.payload + 12 + 8 * i));
                t.shown.push_back({Be32(d, c.payload + 8 + 8 * i), offset});
                ctsSamples += t.shown.back().first;
            }
        } else if (c.type == "stss") {
            if (!Entries(d, c, 8, 4, n))
                return Fail("its keyframe list is damaged");
            t.allKeyframes = false;
            for (uint32_t i = 0; i < n; ++i)
                t.keyframes.push_back(Be32(d, c.payload + 8 + 4 * i));
        } else if (c.type == "stsz") {
            if (c.end - c.payload < 12)
                return Fail("its sample sizes are damaged");
            t.sampleSize = Be32(d, c.payload + 4);
            t.samples = Be32(d, c.payload + 8);
            if (t.sampleSize == 0) {
                if (t.samples > (c.end - c.payload - 12) / 4)
                    return Fail("its sample sizes are damaged");
                for (uint64_t i = 0; i < t.samples; ++i)
                    t.sizes.push_back(Be32(d, c.payload + 12 + 4 * i));
            }
        } else if (c.type == "stsc") {
            if (!Entries(d, c, 8, 12, n))
                return Fail("its chunk table is damaged");
            for (uint32_t i = 0; i < n; ++i) {
                size_t e = c.payload + 8 + 12 * i;
                t.chunkRuns.push_back({Be32(d, e), Be32(d, e + 4), Be32(d, e + 8)});
            }
        } else if (c.type == "stco" || c.type == "co64") {
            size_t each = c.type == "co64" ? 8 : 4;
            if (!Entries(d, c, 8, each, n))
                return Fail("its chunk offsets are damaged");
            for (uint32_t i = 0; i < n; ++i)
                t.chunks.push_back(BigEndian::Read(d, c.payload + 8 + each * i, static_cast<int>(each)));
        } else if (c.type == "stz2") {
            return Fail("its sample sizes are in a compact table the join does not take");
        }
    }
    m_samples += t.samples;
    if (m_samples > MostSamples)
        return Fail("it holds more samples than any camera writes");
    uint64_t timed = 0;
    for (const auto& l : t.lengths)
        timed += l.first;
    if (timed != t.samples || (!t.shown.empty() && ctsSamples != t.samples))
        return Fail("its sample tables disagree on how many samples it holds");
    for (uint32_t k : t.keyframes)
        if (k == 0 || k > t.samples)
            return Fail("its keyframe list names samples it does not hold");
    return true;
}

// Every chunk within the media data box: the join copies that box's payload and nothing else.
bool ChapterIndex::ChunksInside(const ChapterTrack& t)
{
    if (t.chunkRuns.empty() || t.chunkRuns[0].firstChunk != 1)
        return t.samples == 0 ? true : Fail("its chunk table is damaged");
    uint64_t sample = 0;
    for (size_t r = 0; r < t.chunkRuns.size(); ++r) {
        uint64_t first = t.chunkRuns[r].firstChunk;
        uint64_t last = r + 1 < t.chunkRuns.size() ? t.chunkRuns[r + 1].firstChunk : t.chunks.size() + 1;
        if (last <= first || last > t.chunks.size() + 1 || t.chunkRuns[r].samplesPerChunk == 0)
            return Fail("its chunk table is damaged");
        for (uint64_t chunk = first; chunk < last; ++chunk) {
            uint64_t bytes = 0;
            for (uint32_t i = 0; i < t.chunkRuns[r].samplesPerChunk; ++i, ++sample) {
                if (sample >= t.samples)
                    return Fail("its chunk table lists more samples than it holds");
                bytes += t.sampleSize ? t.sampleSize : t.sizes[sample];
            }
            uint64_t at = t.chunks[chunk - 1];
            if (at < m_dataBegin || at > m_dataEnd || bytes > m_dataEnd - at)
                return Fail("its index points outside its media data");
        }
    }
    return sample == t.samples ? true : Fail("its chunk table lists fewer samples than it holds");
}
