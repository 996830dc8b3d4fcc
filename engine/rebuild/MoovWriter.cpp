#include "rebuild/MoovWriter.h"

#include "bytes/BigEndian.h"

#include <algorithm>
#include <numeric>

namespace {

using BigEndian::Put;

std::string Box(const char* type, const std::string& payload)
{
    std::string b;
    Put(b, 8 + payload.size(), 4);
    b += type;
    return b + payload;
}

std::string FullBox(const char* type, uint32_t versionAndFlags, const std::string& payload)
{
    std::string p;
    Put(p, versionAndFlags, 4);
    return Box(type, p + payload);
}

std::string Matrix()
{
    std::string m;
    for (uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
        Put(m, v, 4);
    return m;
}

const uint32_t MovieScale = 1000;

// Presentation offsets from the pictures' order count: within each stretch from a keyframe
// that restarts the count to the next, a picture is shown as many frames after the stretch's
// first as its count says (pictures the cut kept out leave their place empty); a stretch
// whose counts would run into the next one is shown in the order of its counts.
} // namespace

std::vector<long long> MoovWriter::PresentationOffsets(const FoundTrack& t, long long& shift)
{
    std::vector<long long> offsets(t.order.size(), 0);
    shift = 0;
    // The count's step from one picture to the next, over the whole stream (2 for frames).
    long long step = 0;
    std::vector<long long> sorted;
    for (size_t i = 0; i <= t.order.size(); ++i) {
        if (i == t.order.size() || t.order[i] <= 0) {
            std::sort(sorted.begin(), sorted.end());
            for (size_t k = 1; k < sorted.size(); ++k) {
                long long d = sorted[k] - sorted[k - 1];
                if (d > 0 && (step == 0 || d < step))
                    step = d;
            }
            sorted.clear();
        }
        if (i < t.order.size() && t.order[i] >= 0)
            sorted.push_back(t.order[i]);
    }
    size_t begin = 0;
    while (begin < t.order.size()) {
        size_t end = begin + 1;
        while (end < t.order.size() && !(t.order[end] == 0 || t.order[end] < 0))
            ++end;
        std::vector<size_t> rank(end - begin);
        std::iota(rank.begin(), rank.end(), begin);
        std::stable_sort(rank.begin(), rank.end(), [&t](size_t a, size_t b) { return t.order[a] < t.order[b]; });
        bool byCount = step > 0 && t.order[rank.front()] >= 0 &&
                       (t.order[rank.back()] - t.order[rank.front()]) / step < static_cast<long long>(
                           end < t.order.size() ? end - begin : end - begin + 64);
        for (size_t r = 0; r < rank.size(); ++r) {
            long long shown = byCount ? (t.order[rank[r]] - t.order[rank.front()]) / step : static_cast<long long>(r);
            long long offset = static_cast<long long>(begin) + shown - static_cast<long long>(rank[r]);
            offsets[rank[r]] = offset;
            shift = std::max(shift, -offset);
        }
        begin = end;
    }
    return offsets;
}

namespace {

// shownTicks: when the last picture is done showing (a B-frame the cut kept out leaves its place
// empty, so it can be later than the samples' sum).
// skipTicks: when the first picture is shown (pictures decoded ahead of it for reordering).
std::string SampleTable(const MoovWriter::Track& t, uint64_t scannedFrom, uint64_t dataAt, uint64_t& skipTicks,
                        uint64_t& shownTicks)
{
    const FoundTrack& s = *t.samples;
    std::string stts, ctts, stss, stsc, stsz, co64;
    std::vector<std::pair<uint64_t, uint32_t>> lengths = MoovWriter::Lengths(t);
    Put(stts, lengths.size(), 4);
    for (const std::pair<uint64_t, uint32_t>& run : lengths) {
        Put(stts, run.first, 4);
        Put(stts, run.second, 4);
    }
    if (t.video) {
        long long shift = 0;
        std::vector<long long> offsets = MoovWriter::PresentationOffsets(s, shift);
        // The picture shown n-th is shown when the n-th (after the reordering delay) is
        // decoded: a held picture's extra time moves every picture shown after it. A pause
        // (damage skipped) moves the pictures decoded after it only: one stored before it
        // is shown before it, whatever its place.
        std::vector<uint64_t> decodeAt(1, 0), paused(1, 0);
        size_t pause = 0;
        for (const std::pair<uint64_t, uint32_t>& run : lengths)
            for (uint64_t i = 0; i < run.first; ++i) {
                size_t sample = decodeAt.size() - 1;
                uint64_t extra = 0;
                while (pause < t.pauses.size() && t.pauses[pause].first < sample)
                    ++pause;
                if (pause < t.pauses.size() && t.pauses[pause].first == sample)
                    extra = t.pauses[pause].second;
                decodeAt.push_back(decodeAt.back() + run.second);
                paused.push_back(paused.back() + extra);
            }
        // When the picture decoded `i`-th is shown at `place`.
        auto shownAt = [&](long long place, size_t i) {
            size_t at = static_cast<size_t>(place);
            uint64_t plain = at < decodeAt.size() ? decodeAt[at] - paused[at]
                                                  : decodeAt.back() - paused.back() + (at - (decodeAt.size() - 1)) * t.ticks;
            return plain + paused[std::min(i, paused.size() - 1)];
        };
        std::vector<uint64_t> composition(offsets.size());
        for (size_t i = 0; i < offsets.size(); ++i) {
            long long place = static_cast<long long>(i) + offsets[i] + shift;
            composition[i] = shownAt(place, i) - decodeAt[i];
            shownTicks = std::max<uint64_t>(shownTicks, shownAt(place + 1, i));
        }
        skipTicks = shownAt(shift, 0);
        if (std::any_of(composition.begin(), composition.end(), [](uint64_t o) { return o != 0; })) {
            std::string runs;
            uint32_t count = 0;
            for (size_t i = 0; i < composition.size();) {
                size_t j = i;
                while (j < composition.size() && composition[j] == composition[i])
                    ++j;
                Put(runs, j - i, 4);
                Put(runs, composition[i], 4);
                ++count;
                i = j;
            }
            Put(ctts, count, 4);
            ctts = FullBox("ctts", 0, ctts + runs);
        }
        if (s.keys.size() < s.Samples()) {
            Put(stss, s.keys.size(), 4);
            for (uint32_t k : s.keys)
                Put(stss, k, 4);
            stss = FullBox("stss", 0, stss);
        }
    }
    std::string runs;
    uint32_t entries = 0;
    for (size_t c = 0; c < s.chunks.size(); ++c)
        if (c == 0 || s.chunks[c].samples != s.chunks[c - 1].samples) {
            Put(runs, c + 1, 4);
            Put(runs, s.chunks[c].samples, 4);
            Put(runs, 1, 4);
            ++entries;
        }
    Put(stsc, entries, 4);
    Put(stsz, s.fixedSize, 4);
    Put(stsz, s.Samples(), 4);
    for (uint32_t size : s.sizes)
        Put(stsz, size, 4);
    Put(co64, s.chunks.size(), 4);
    for (const FoundTrack::Chunk& c : s.chunks)
        Put(co64, c.offset - scannedFrom + dataAt, 8);
    std::string stsd;
    Put(stsd, 1, 4);
    return Box("stbl", FullBox("stsd", 0, stsd + t.sampleEntry) + FullBox("stts", 0, stts) + ctts + stss +
                           FullBox("stsc", 0, stsc + runs) + FullBox("stsz", 0, stsz) + FullBox("co64", 0, co64));
}

// timecode: the id of the track that times the pictures, or 0.
std::string Trak(const MoovWriter::Track& t, uint32_t id, uint64_t scannedFrom, uint64_t dataAt, uint32_t timecode = 0)
{
    uint64_t skip = t.video ? 0 : t.skip;
    uint64_t mediaTicks = MoovWriter::MediaTicks(t), shownTicks = mediaTicks;
    std::string stbl = SampleTable(t, scannedFrom, dataAt, skip, shownTicks);
    uint64_t movieTicks = (t.timescale ? shownTicks * MovieScale / t.timescale : 0) +
                          static_cast<uint64_t>(t.delay * MovieScale + 0.5);
    std::string tkhd;
    Put(tkhd, 0, 8);
    Put(tkhd, id, 4);
    Put(tkhd, 0, 4);
    Put(tkhd, movieTicks, 4);
    Put(tkhd, 0, 8);
    Put(tkhd, 0, 4);               // layer, alternate group
    Put(tkhd, !t.video && t.handler.empty() ? 0x0100 : 0, 2);
    Put(tkhd, 0, 2);
    tkhd += t.matrix.size() == 36 ? t.matrix : Matrix();
    Put(tkhd, static_cast<uint64_t>(t.width) << 16, 4);
    Put(tkhd, static_cast<uint64_t>(t.height) << 16, 4);
    std::string edts;
    // Reordered pictures start late by those decoded ahead of the first, sound by its priming:
    // the edit shows both from 0, in step. A track the camera starts later (sound after the
    // first picture) keeps its empty edit before that.
    uint64_t delay = static_cast<uint64_t>(t.delay * MovieScale + 0.5);
    if (skip >= shownTicks)
        skip = 0;
    if ((skip > 0 || delay > 0) && t.timescale > 0) {
        std::string elst;
        Put(elst, delay > 0 ? 2 : 1, 4);
        if (delay > 0) {
            Put(elst, delay, 4);
            Put(elst, 0xFFFFFFFFu, 4);
            Put(elst, 0x00010000, 4);
        }
        Put(elst, (shownTicks - skip) * MovieScale / t.timescale, 4);
        Put(elst, skip, 4);
        Put(elst, 0x00010000, 4);
        edts = Box("edts", FullBox("elst", 0, elst));
    }
    std::string mdhd;
    Put(mdhd, 0, 8);
    Put(mdhd, t.timescale, 4);
    Put(mdhd, mediaTicks, 4);
    Put(mdhd, t.language, 2);
    Put(mdhd, 0, 2);
    std::string hdlr;
    Put(hdlr, 0, 4);
    const std::string handler = t.video ? "vide" : t.handler.empty() ? "soun" : t.handler;
    hdlr += handler;
    Put(hdlr, 0, 12);
    hdlr += t.handlerName.empty() ? (t.video ? "VideoHandler" : t.handler.empty() ? "SoundHandler" : "DataHandler")
                                  : t.handlerName;
    hdlr += '\0';
    std::string header = t.video ? FullBox("vmhd", 1, std::string(8, '\0'))
                         : handler == "soun" ? FullBox("smhd", 0, std::string(4, '\0'))
                                             : FullBox("nmhd", 0, std::string());
    std::string tref;
    if (timecode) {
        Put(tref, timecode, 4);
        tref = Box("tref", Box("tmcd", tref));
    }
    std::string dref;
    Put(dref, 1, 4);
    dref += FullBox("url ", 1, std::string());
    std::string minf = Box("minf", header + Box("dinf", FullBox("dref", 0, dref)) + stbl);
    std::string mdia = Box("mdia", FullBox("mdhd", 0, mdhd) + FullBox("hdlr", 0, hdlr) + minf);
    return Box("trak", FullBox("tkhd", 3, tkhd) + tref + edts + mdia);
}

} // namespace

uint64_t MoovWriter::MediaTicks(const Track& t)
{
    return t.samples ? TicksBefore(t, t.samples->Samples()) : 0;
}

uint64_t MoovWriter::TicksBefore(const Track& t, uint64_t samples)
{
    uint64_t ticks = 0;
    for (const std::pair<uint64_t, uint32_t>& run : Lengths(t)) {
        uint64_t n = std::min(run.first, samples);
        ticks += n * run.second;
        samples -= n;
    }
    return ticks;
}

std::vector<std::pair<uint64_t, uint32_t>> MoovWriter::Lengths(const Track& t)
{
    std::vector<std::pair<uint64_t, uint32_t>> runs;
    auto add = [&runs](uint64_t count, uint32_t ticks) {
        if (count > 0 && !runs.empty() && runs.back().second == ticks)
            runs.back().first += count;
        else if (count > 0)
            runs.push_back({count, ticks});
    };
    const uint64_t n = t.samples ? t.samples->Samples() : 0;
    const bool own = t.durations.size() == n;
    size_t pause = 0;
    for (uint64_t i = 0; i < n;) {
        while (pause < t.pauses.size() && t.pauses[pause].first < i)
            ++pause;   // out of order or repeated: not kept
        uint64_t next = pause < t.pauses.size() ? std::min<uint64_t>(t.pauses[pause].first, n) : n;
        if (own) {
            for (; i < next; ++i)
                add(1, t.durations[static_cast<size_t>(i)]);
        } else {
            add(next - i, t.ticks);
            i = next;
        }
        if (i < n && pause < t.pauses.size()) {
            add(1, (own ? t.durations[static_cast<size_t>(i)] : t.ticks) + t.pauses[pause++].second);
            ++i;
        }
    }
    return runs;
}

double MoovWriter::Seconds(const Track& t)
{
    return t.timescale ? static_cast<double>(MediaTicks(t)) / t.timescale : 0.0;
}

std::string MoovWriter::Moov(const Track& video, const Track& sound, uint64_t scannedFrom, uint64_t dataAt,
                             const std::vector<Track>& others)
{
    bool withSound = sound.samples && sound.samples->Samples() > 0;
    double seconds = std::max(video.delay + Seconds(video), withSound ? sound.delay + Seconds(sound) : 0.0);
    uint32_t next = withSound ? 3 : 2, timecode = 0;
    std::string more;
    for (const Track& t : others) {
        if (!t.samples || t.samples->Samples() == 0)
            continue;
        timecode = t.handler == "tmcd" && !timecode ? next : timecode;
        more += Trak(t, next++, scannedFrom, dataAt);
        seconds = std::max(seconds, Seconds(t));
    }
    std::string mvhd;
    Put(mvhd, 0, 8);
    Put(mvhd, MovieScale, 4);
    Put(mvhd, static_cast<uint64_t>(seconds * MovieScale), 4);
    Put(mvhd, 0x00010000, 4);
    Put(mvhd, 0x0100, 2);
    Put(mvhd, 0, 10);
    mvhd += Matrix();
    Put(mvhd, 0, 24);
    Put(mvhd, next, 4);
    std::string moov = FullBox("mvhd", 0, mvhd) + Trak(video, 1, scannedFrom, dataAt, timecode);
    if (withSound)
        moov += Trak(sound, 2, scannedFrom, dataAt);
    return Box("moov", moov + more);
}
