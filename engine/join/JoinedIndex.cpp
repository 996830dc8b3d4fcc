#include "join/JoinedIndex.h"

#include "bytes/BigEndian.h"
#include "mp4/BoxHeader.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

using BigEndian::Be32;
using BigEndian::Be64;
using BigEndian::Put;

std::string Box(const char* type, const std::string& payload)
{
    std::string box;
    Put(box, payload.size() + 8, 4);
    box.append(type, 4);
    return box + payload;
}

// Where the samples of a picture track are shown, in its ticks: the first picture's time and
// the end of the last one shown.
void Shown(const ChapterTrack& t, int64_t& first, int64_t& end)
{
    first = INT64_MAX;
    end = INT64_MIN;
    uint64_t sample = 0, decode = 0;
    size_t run = 0, runLeft = t.shown.empty() ? 0 : t.shown[0].first;
    for (const auto& l : t.lengths)
        for (uint32_t i = 0; i < l.first; ++i, ++sample, decode += l.second) {
            while (!t.shown.empty() && runLeft == 0 && run + 1 < t.shown.size())
                runLeft = t.shown[++run].first;
            int64_t offset = t.shown.empty() ? 0 : t.shown[run].second;
            if (runLeft)
                --runLeft;
            int64_t at = static_cast<int64_t>(decode) + offset;
            first = std::min(first, at);
            end = std::max(end, at + static_cast<int64_t>(l.second));
        }
}

// mvhd, tkhd and mdhd with a new duration, written with 64-bit times whatever they had.
// `between`: the bytes from the times to the duration (a timescale, or a track id).
// least: the payload a chapter's reading takes the box at.
std::string Lengthened(const std::string& d, const BoxHeader::Span& s, const char* type, size_t between,
                       uint64_t duration, size_t least)
{
    const bool wide = d[s.payload] == 1;
    const size_t time = wide ? 8 : 4;
    if (s.end - s.payload < std::max(least, 4 + 3 * time + between))
        return d.substr(s.begin, s.end - s.begin);   // too short to hold a length: as it was
    std::string p;
    p.push_back(1);
    p.append(d, s.payload + 1, 3);
    size_t at = s.payload + 4;
    Put(p, BigEndian::Read(d, at, static_cast<int>(time)), 8);
    Put(p, BigEndian::Read(d, at + time, static_cast<int>(time)), 8);
    at += 2 * time;
    p.append(d, at, between);
    Put(p, duration, 8);
    at += between + time;
    if (at < s.end)
        p.append(d, at, s.end - at);
    return Box(type, p);
}

struct Plan
{
    const std::vector<const ChapterIndex*>& chapters;
    const std::vector<uint64_t>& dataAt;
    std::vector<uint64_t> ticks;        // each track's samples together
    std::vector<uint64_t> shownEnd;     // ... where the last one shown ends (pictures shown late)
    std::vector<uint64_t> shownLength;  // ... shown, in the movie's timescale
    uint64_t movieLength = 0;
    size_t track = 0;                   // the track being written
};

uint64_t ToMovie(uint64_t ticks, uint32_t from, uint32_t movie)
{
    return from ? static_cast<uint64_t>(static_cast<double>(ticks) * movie / from + 0.5) : 0;
}

std::string Edits(const Plan& plan, const ChapterTrack& first)
{
    std::string p(4, '\0');
    p[0] = 1;
    std::string entries;
    uint32_t n = 0;
    for (const auto& e : first.edits) {
        ++n;
        uint64_t length = e.first;
        if (e.second >= 0) {
            uint64_t end = plan.shownEnd[plan.track];
            length = ToMovie(end > static_cast<uint64_t>(e.second) ? end - e.second : 0, first.timescale,
                             plan.chapters[0]->Timescale());
        }
        Put(entries, length, 8);
        Put(entries, static_cast<uint64_t>(e.second), 8);
        Put(entries, 0x00010000, 4);
        if (e.second >= 0)
            break;   // what played after the first media edit ends is the next chapter now
    }
    Put(p, n, 4);
    return Box("elst", p + entries);
}

std::string Tables(const Plan& plan)
{
    const size_t i = plan.track;
    std::string stts, ctts, stss, stsz, stsc, co64;
    uint32_t runs = 0, shownRuns = 0, keys = 0, chunkRuns = 0, chunks = 0;
    bool anyShown = false, anyKeys = false, negative = false, sameSize = true;
    const uint32_t size0 = plan.chapters[0]->Tracks()[i].sampleSize;
    for (const ChapterIndex* c : plan.chapters) {
        const ChapterTrack& t = c->Tracks()[i];
        anyShown = anyShown || !t.shown.empty();
        anyKeys = anyKeys || !t.allKeyframes;
        sameSize = sameSize && size0 != 0 && t.sampleSize == size0;
    }
    uint64_t samplesBefore = 0, chunksBefore = 0, samples = 0;
    std::pair<uint32_t, uint32_t> pending(0, 0);
    for (size_t k = 0; k < plan.chapters.size(); ++k) {
        const ChapterTrack& t = plan.chapters[k]->Tracks()[i];
        for (const auto& l : t.lengths) {
            if (l.second == pending.second && pending.first + static_cast<uint64_t>(l.first) <= UINT32_MAX) {
                pending.first += l.first;
                continue;
            }
            if (pending.first) {
                Put(stts, pending.first, 4);
                Put(stts, pending.second, 4);
                ++runs;
            }
            pending = l;
        }
        if (anyShown) {
            std::vector<std::pair<uint32_t, int32_t>> shown = t.shown;
            if (shown.empty())
                shown.push_back({static_cast<uint32_t>(t.samples), 0});
            for (const auto& s : shown) {
                Put(ctts, s.first, 4);
                Put(ctts, static_cast<uint32_t>(s.second), 4);
                negative = negative || s.second < 0;
                ++shownRuns;
            }
        }
        if (anyKeys) {
            for (uint64_t n = 1; t.allKeyframes && n <= t.samples; ++n, ++keys)
                Put(stss, samplesBefore + n, 4);
            for (uint32_t n : t.keyframes) {
                Put(stss, samplesBefore + n, 4);
                ++keys;
            }
        }
        for (uint64_t n = 0; !sameSize && n < t.samples; ++n)
            Put(stsz, t.sampleSize ? t.sampleSize : t.sizes[n], 4);
        for (const auto& r : t.chunkRuns) {
            Put(stsc, chunksBefore + r.firstChunk, 4);
            Put(stsc, r.samplesPerChunk, 4);
            Put(stsc, r.entry, 4);
            ++chunkRuns;
        }
        for (uint64_t at : t.chunks) {
            Put(co64, at - plan.chapters[k]->DataBegin() + plan.dataAt[k], 8);
            ++chunks;
        }
        samplesBefore += t.samples;
        chunksBefore += t.chunks.size();
    }
    samples = samplesBefore;
    if (pending.first) {
        Put(stts, pending.first, 4);
        Put(stts, pending.second, 4);
        ++runs;
    }
    auto table = [](const char* type, uint32_t version, uint32_t count, const std::string& entries) {
        std::string p;
        Put(p, static_cast<uint64_t>(version) << 24, 4);
        Put(p, count, 4);
        return Box(type, p + entries);
    };
    std::string out = table("stts", 0, runs, stts);
    if (anyShown)
        out += table("ctts", negative ? 1 : 0, shownRuns, ctts);
    if (anyKeys)
        out += table("stss", 0, keys, stss);
    std::string sizes;
    Put(sizes, 0, 4);
    Put(sizes, sameSize ? size0 : 0, 4);
    Put(sizes, samples, 4);
    out += Box("stsz", sizes + stsz);
    out += table("stsc", 0, chunkRuns, stsc);
    return out + table("co64", 0, chunks, co64);
}

// The first chapter's boxes from [begin, end) of its index (inside `parent`), its tables and
// lengths the joined ones. Boxes count only where the chapter's reading took them.
std::string Rewrite(Plan& plan, size_t begin, size_t end, const std::string& parent)
{
    const ChapterIndex& first = *plan.chapters[0];
    const std::string& d = first.Moov();
    std::string out;
    BoxHeader h;
    BoxHeader::Span s;
    for (size_t at = begin; BoxHeader::Next(d, at, end, h, s);) {
        const std::string& type = h.type;
        const ChapterTrack* track = plan.track < first.Tracks().size() ? &first.Tracks()[plan.track] : nullptr;
        bool inTrack = track && (parent == "trak" || parent == "mdia" || parent == "minf" || parent == "edts");
        if ((type == "trak" && parent == "moov" && track) ||
            (inTrack && (type == "mdia" || type == "edts") && parent == "trak") ||
            (inTrack && type == "minf" && parent == "mdia")) {
            out += Box(type.c_str(), Rewrite(plan, s.payload, s.end, type));
            if (type == "trak")
                ++plan.track;
        } else if (type == "moov" && parent.empty()) {
            out += Box("moov", Rewrite(plan, s.payload, s.end, type));
        } else if (inTrack && type == "stbl" && parent == "minf") {
            out += Box("stbl", track->sampleEntries + Tables(plan));
        } else if (type == "mvhd" && parent == "moov") {
            out += Lengthened(d, s, "mvhd", 4, plan.movieLength, 32);
        } else if (inTrack && type == "tkhd" && parent == "trak") {
            out += Lengthened(d, s, "tkhd", 8, plan.shownLength[plan.track], 0);
        } else if (inTrack && type == "mdhd" && parent == "mdia") {
            out += Lengthened(d, s, "mdhd", 4, plan.ticks[plan.track], 24);
        } else if (inTrack && type == "elst" && parent == "edts") {
            out += Edits(plan, *track);
        } else {
            out.append(d, s.begin, s.end - s.begin);
        }
    }
    return out;
}

} // namespace

std::string JoinedIndex::Settings(const std::string& entries)
{
    std::string s = entries;
    for (size_t at = s.find("btrt"); at != std::string::npos && at + 16 <= s.size(); at = s.find("btrt", at + 4))
        s.replace(at + 4, 12, 12, '\0');
    size_t esds = s.find("esds");
    if (esds == std::string::npos)
        return s;
    // ES descriptor, then its decoder config: past the object and stream type, the buffer
    // size and two bit rates.
    size_t p = esds + 8;
    for (int descriptor = 0; descriptor < 2 && p < s.size(); ++descriptor) {
        unsigned char tag = static_cast<unsigned char>(s[p++]);
        for (int i = 0; i < 4 && p < s.size() && (static_cast<unsigned char>(s[p++]) & 0x80); ++i) {
        }
        if (tag == 0x04 && p + 13 <= s.size()) {
            s.replace(p + 2, 11, 11, '\0');
            break;
        }
        if (tag != 0x03 || p + 3 > s.size())
            break;
        unsigned char flags = static_cast<unsigned char>(s[p + 2]);
        p += 3 + ((flags & 0x80) ? 2 : 0) + ((flags & 0x20) ? 2 : 0);
        if ((flags & 0x40) && p < s.size())
            p += 1 + static_cast<unsigned char>(s[p]);
    }
    return s;
}

std::string JoinedIndex::Mismatch(const ChapterIndex& last, const ChapterIndex& next)
{
    if (last.Tracks().size() != next.Tracks().size())
        return "it has other tracks";
    for (size_t i = 0; i < next.Tracks().size(); ++i) {
        const ChapterTrack& a = last.Tracks()[i];
        const ChapterTrack& b = next.Tracks()[i];
        if (a.handler != b.handler || a.timescale != b.timescale ||
            Settings(a.sampleEntries) != Settings(b.sampleEntries))
            return (b.handler == "vide"   ? std::string("its pictures were")
                    : b.handler == "soun" ? std::string("its sound was")
                                          : "its " + b.handler + " track was") +
                   " recorded with other settings";
        if (a.width != b.width || a.height != b.height || a.matrix != b.matrix)
            return "its pictures have another size or turn";
        if (b.handler == "vide" && b.samples && !b.allKeyframes && (b.keyframes.empty() || b.keyframes[0] != 1))
            return "its pictures do not start on a keyframe";
        if (b.handler == "vide" && a.samples && b.samples) {
            // A picture of the last chapter shown at or after the next one's first: a gap or
            // a repeat at the join.
            int64_t aFirst, aEnd, bFirst, bEnd;
            Shown(a, aFirst, aEnd);
            Shown(b, bFirst, bEnd);
            if (aEnd - static_cast<int64_t>(a.mediaTicks) != bFirst)
                return "its pictures do not run on from the last chapter's";
        }
    }
    return std::string();
}

std::string JoinedIndex::OutOfStep(const ChapterIndex& first, const std::vector<uint64_t>& ticksBefore,
                                   const ChapterIndex& next)
{
    // Where the joined file shows the next chapter's pictures and sound (the first chapter's
    // edits over all samples so far), against where its own edits show them.
    auto delay = [](const ChapterTrack& t, const ChapterIndex& c) {
        double pause = 0;
        for (const auto& e : t.edits) {
            if (e.second >= 0)
                break;
            pause += static_cast<double>(e.first) / c.Timescale();
        }
        return pause;
    };
    auto skip = [](const ChapterTrack& t) {
        for (const auto& e : t.edits)
            if (e.second >= 0)
                return static_cast<double>(e.second) / t.timescale;
        return 0.0;
    };
    auto end = [&](size_t i) {
        const ChapterTrack& t = first.Tracks()[i];
        return delay(t, first) + (static_cast<double>(ticksBefore[i]) / t.timescale - skip(t));
    };
    size_t video = 0;
    while (video < next.Tracks().size() && next.Tracks()[video].handler != "vide")
        ++video;
    if (video == next.Tracks().size() || ticksBefore.size() != next.Tracks().size())
        return std::string();
    const ChapterTrack& v = next.Tracks()[video];
    for (size_t i = 0; i < next.Tracks().size(); ++i) {
        const ChapterTrack& a = next.Tracks()[i];
        if (a.handler != "soun" || !a.timescale)
            continue;
        double off = end(i) - end(video) - skip(v) + delay(v, next) - delay(a, next) + skip(a);
        if (!(std::fabs(off) <= 0.005))
            return "its sound would be " +
                   std::to_string(static_cast<long long>(std::min(1e9, std::fabs(off) * 1000))) +
                   " ms out of step with its pictures after the join";
    }
    return std::string();
}

std::string JoinedIndex::TimeGap(const ChapterIndex& first, const ChapterIndex& last, const ChapterIndex& next)
{
    bool told = false;
    for (size_t i = 0; i < next.Tracks().size() && i < last.Tracks().size(); ++i) {
        const ChapterTrack& a = last.Tracks()[i];
        const ChapterTrack& b = next.Tracks()[i];
        if (a.handler != "tmcd" || a.firstFrame < 0 || b.firstFrame < 0)
            continue;
        told = true;
        double off = static_cast<double>(b.firstFrame) - static_cast<double>(a.firstFrame) -
                     last.PictureSeconds() * a.framesPerSecond;
        if (!(std::fabs(off) <= 1.5))
            return "its timecode does not continue the last chapter's (" +
                   std::to_string(static_cast<long long>(std::max(-1e15, std::min(1e15, std::round(off))))) +
                   " frames off)";
    }
    if (last.CreatedSeconds() && next.CreatedSeconds()) {
        told = true;
        double after = static_cast<double>(next.CreatedSeconds()) - static_cast<double>(last.CreatedSeconds()) -
                       last.PictureSeconds();
        if (next.CreatedSeconds() != first.CreatedSeconds() && std::fabs(after) > 2)
            return "it was recorded " +
                   std::to_string(static_cast<long long>(std::min(1e15, std::round(std::fabs(after))))) + " s " +
                   (after > 0 ? "after" : "before") + " the last chapter ended";
    }
    return told ? std::string() : "nothing in it tells when it was recorded";
}

std::string JoinedIndex::Moov(const std::vector<const ChapterIndex*>& chapters, const std::vector<uint64_t>& dataAt)
{
    Plan plan{chapters, dataAt, {}, {}, {}, 0, 0};
    const ChapterIndex& first = *chapters[0];
    for (size_t i = 0; i < first.Tracks().size(); ++i) {
        uint64_t ticks = 0;
        for (const ChapterIndex* c : chapters)
            ticks += c->Tracks()[i].mediaTicks;
        plan.ticks.push_back(ticks);
        // Pictures are shown after their decoding: the edit covers up to the last one's end.
        const ChapterTrack& last = chapters.back()->Tracks()[i];
        int64_t lastFirst = 0, lastEnd = static_cast<int64_t>(last.mediaTicks);
        if (!last.shown.empty() && last.samples)
            Shown(last, lastFirst, lastEnd);
        uint64_t end = ticks - last.mediaTicks + static_cast<uint64_t>(std::max<int64_t>(0, lastEnd));
        plan.shownEnd.push_back(end);
        const ChapterTrack& t = first.Tracks()[i];
        uint64_t shown = 0;
        for (const auto& e : t.edits) {
            if (e.second < 0) {
                shown += e.first;
                continue;
            }
            shown += ToMovie(end > static_cast<uint64_t>(e.second) ? end - e.second : 0, t.timescale,
                             first.Timescale());
            break;
        }
        if (t.edits.empty())
            shown = ToMovie(ticks, t.timescale, first.Timescale());
        plan.shownLength.push_back(shown);
        plan.movieLength = std::max(plan.movieLength, shown);
    }
    return Rewrite(plan, 0, first.Moov().size(), std::string());
}
