#include "rebuild/MdatScanner.h"

#include "bytes/BigEndian.h"

#include <cstring>

namespace {

const size_t WindowBytes = 40u << 20;   // the largest picture taken (32 MB) and what follows it
const size_t Slack = 64u << 10;         // header reads near the end never leave the buffer
const size_t HeaderBytes = 64;
const size_t MostSamples = 4000000;     // 10 hours of 60 pictures and 47 sound frames a second
const size_t SoundFrameBytes = 8192;    // more than any AAC frame of two channels
const uint64_t MostTelemetryBytes = 1u << 20;   // a GPMF sample holds a second of sensor readings

bool KeyByte(uint8_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

size_t Available(uint64_t bytes)
{
    return bytes < (64u << 20) ? static_cast<size_t>(bytes) : (64u << 20);
}

} // namespace

void FoundTrack::Add(uint64_t offset, uint32_t size)
{
    if (chunks.empty() || chunkEnd != offset)
        chunks.push_back(Chunk{offset, 0});
    ++chunks.back().samples;
    chunkEnd = offset + size;
    sizes.push_back(size);
    bytes += size;
}

void FoundTrack::AddFixed(uint64_t offset, uint64_t samples, uint32_t size)
{
    chunks.push_back(Chunk{offset, static_cast<uint32_t>(samples)});
    fixedSize = size;
    fixedSamples += samples;
    bytes += samples * size;
    chunkEnd = offset + samples * size;
}

MdatScanner::MdatScanner(NalUnitReader& video, const AacFrameParser* sound, uint32_t fixedSoundBytes,
                         uint32_t chunkSamples)
    : m_video(video), m_sound(sound), m_fixedBytes(fixedSoundBytes), m_chunkSamples(chunkSamples)
{
    StepOver(std::vector<SampleShape>());
}

MdatScanner::~MdatScanner() = default;

void MdatScanner::StepOver(const std::vector<SampleShape>& others)
{
    // What the finished recording shows first, then what cameras write without one.
    SampleShape telemetry, timecode, keyBoxes;
    telemetry.format = "gpmd";
    telemetry.gpmf = true;
    timecode.format = "tmcd";
    timecode.fixedSize = timecode.largest = 4;
    keyBoxes.format = "metadata";
    keyBoxes.boxes = true;
    keyBoxes.largest = 1u << 16;
    m_others = others;
    m_others.push_back(telemetry);
    m_others.push_back(timecode);
    m_others.push_back(keyBoxes);
}

bool MdatScanner::Scan(ByteSource& file, uint64_t begin, uint64_t end, uint64_t limit, ByteSink* out,
                       const Progress& progress)
{
    m_file = &file;
    m_out = out;
    m_end = end < file.Size() ? end : file.Size();
    begin = begin < m_end ? begin : m_end;
    end = m_end;
    // No larger than the data: a trial walk of a short recording needs no 40 MB.
    m_windowBytes = end - begin < WindowBytes ? static_cast<size_t>(end - begin) : WindowBytes;
    m_buffer.assign(m_windowBytes + Slack, 0);
    m_windowStart = m_windowEnd = m_commit = m_lastEnd = begin;
    m_otherTracks.assign(m_others.size(), FoundTrack());
    m_otherCount = 0;
    const uint64_t outStart = out ? out->End() : 0;
    Picture picture;
    uint64_t at = begin;
    uint64_t lastProgress = begin;
    while (at < end && !m_failed && (limit == 0 || at - begin < limit)) {
        if (m_pictures.sizes.size() + m_frames.sizes.size() + m_frames.chunks.size() + m_otherCount >= MostSamples) {
            m_bounded = true;   // more than any camera writes to one file: made to exhaust memory
            break;
        }
        if (at - lastProgress >= (64u << 20)) {
            lastProgress = at;
            if (progress && !progress(at - begin, end - begin))
                return false;
        }
        m_commit = at;
        const uint8_t* here = View(at, HeaderBytes);
        NalUnit unit;
        if (here && m_video.Read(here, Available(end - at), unit) &&
            (unit.picture ? Follows(at + unit.size) : LeadsToPicture(at))) {
            bool sameFrame = unit.picture && picture.hasSlice && (!unit.startsPicture || m_video.SecondField(unit));
            if (picture.open && unit.startsPicture && picture.hasSlice && !sameFrame)
                Close(picture);
            if (!picture.open) {
                picture = Picture();
                picture.open = true;
                picture.start = at;
            }
            if (unit.picture && unit.startsPicture) {
                long long order = m_video.TakePicture(unit);
                if (!picture.hasSlice) {
                    picture.order = order;
                    picture.key = unit.key;
                }
                picture.hasSlice = true;
            }
            if (unit.picture && unit.size > m_largestUnit)
                m_largestUnit = unit.size;
            picture.end = at + unit.size;
            at = picture.end;
            continue;
        }
        Close(picture);
        m_commit = at;
        size_t frame = SoundFrameAt(at);
        if (frame > 0 && Follows(at + frame)) {
            m_frames.Add(at, static_cast<uint32_t>(frame));
            at += frame;
            m_lastEnd = at;
            continue;
        }
        if (m_fixedBytes > 0 && FixedSound(at))
            continue;
        size_t shape = 0;
        if (size_t other = OtherSampleAt(at, shape, false)) {
            m_otherTracks[shape].Add(at, static_cast<uint32_t>(other));
            ++m_otherCount;
            at += other;
            m_lastEnd = at;
            continue;
        }
        uint64_t from = at, zeros = m_zeros;
        bool found = NextPicture(at);
        m_skipped += at - from;
        // Mostly zeros: a stretch wiped or never written (what else the walk cannot read may
        // be a track of the camera's own).
        if (found && at - from >= LeastDamage && (m_zeros - zeros) * 2 >= at - from) {
            if (m_damaged.size() < 64)
                m_damaged.push_back(Damage{from, at - from, m_pictures.Samples()});
            else
                m_damaged.back().bytes += at - from;
        }
        if (!found)
            break;
    }
    Close(picture);
    if (m_failed)
        return false;
    if (out) {
        // Everything up to the last sample found; damage or a cut frame after it stays out.
        m_commit = m_lastEnd > m_windowStart ? m_lastEnd : m_windowStart;
        if (!Slide())
            return false;
        if (!out->CutAt(outStart + (m_lastEnd - begin))) {
            m_error = out->Error();
            m_writeFailed = true;
            return false;
        }
    }
    return true;
}

void MdatScanner::Close(Picture& p)
{
    if (p.open && p.hasSlice) {
        m_pictures.Add(p.start, static_cast<uint32_t>(p.end - p.start));
        m_pictures.order.push_back(p.order);
        if (p.key)
            m_pictures.keys.push_back(static_cast<uint32_t>(m_pictures.sizes.size()));
        m_lastEnd = p.end;
    } else if (p.open) {
        m_skipped += p.end - p.start;   // headers of a picture that never came
    }
    p = Picture();
}

bool MdatScanner::Follows(uint64_t at)
{
    if (at == m_end)
        return true;
    if (at > m_end)
        return false;
    if (m_end - at < SoundFrameBytes && m_sound)
        return true;   // what follows is cut too short to judge
    // What follows may be cut by the end of the file: only its start is judged.
    size_t shape = 0;
    return StartsHere(at) || OtherSampleAt(at, shape, true) > 0;
}

bool MdatScanner::StartsHere(uint64_t at)
{
    // Sound that cannot be read frame by frame may follow anything.
    const uint8_t* next = View(at, HeaderBytes);
    NalUnit unit;
    return next && (m_video.Read(next, (32u << 20) + 8, unit, false) || !m_sound || SoundFrameAt(at) > 0 ||
                    TelemetryAt(at) > 0);
}

bool MdatScanner::Continues(uint64_t at)
{
    if (at == m_end)
        return true;
    size_t frame = SoundFrameAt(at);
    return PictureAt(at) || (frame > 0 && Follows(at + frame)) || TelemetryAt(at) > 0;
}

size_t MdatScanner::OtherSampleAt(uint64_t at, size_t& which, bool glance)
{
    for (which = 0; which < m_others.size(); ++which)
        if (size_t length = ShapedAt(at, m_others[which], glance))
            return length;
    return 0;
}

size_t MdatScanner::ShapedAt(uint64_t at, const SampleShape& shape, bool glance)
{
    // What follows a sample must continue the stream; at a glance (while judging what precedes
    // it) it need only start like something.
    auto followed = [&](uint64_t end) { return end <= m_end && (glance ? end == m_end || StartsHere(end) : Continues(end)); };
    const size_t headerBytes = 8;
    if (shape.gpmf)
        return TelemetryAt(at);
    const uint8_t* h = at + headerBytes <= m_end ? View(at, headerBytes) : nullptr;
    if (!h || shape.prefix.size() > headerBytes || std::memcmp(h, shape.prefix.data(), shape.prefix.size()) != 0)
        return 0;
    if (shape.fixedSize > 0)
        return followed(at + shape.fixedSize) ? shape.fixedSize : 0;
    if (!shape.boxes)
        return 0;
    // Key boxes, one after another, until what follows continues the stream.
    uint64_t length = 0;
    for (int boxes = 0; boxes < 64 && at + length + headerBytes <= m_end; ++boxes) {
        const uint8_t* box = View(at + length, headerBytes);
        uint64_t size = box ? BigEndian::Read(box, 4) : 0;
        std::string key(reinterpret_cast<const char*>(box ? box + 4 : h), 4);
        bool known = false;
        if (shape.keys.empty())   // four characters, or a small number (a local key)
            known = (KeyByte(key[0]) || (key[0] >= 'a' && key[0] <= 'z')) || (key[0] == 0 && key[1] == 0);
        for (size_t k = 0; k + 4 <= shape.keys.size() && !known; k += 4)
            known = shape.keys.compare(k, 4, key) == 0;
        if (!box || size < headerBytes || length + size > shape.largest || !known)
            return 0;
        length += size;
        if (followed(at + length))
            return static_cast<size_t>(length);
    }
    return 0;
}

uint64_t MdatScanner::SteppedOverSamples() const
{
    uint64_t n = 0;
    for (size_t i = 0; i < m_otherTracks.size(); ++i)
        n += m_others[i].sampleEntry.empty() ? m_otherTracks[i].Samples() : 0;
    return n;
}

uint64_t MdatScanner::SteppedOverBytes() const
{
    uint64_t n = 0;
    for (size_t i = 0; i < m_otherTracks.size(); ++i)
        n += m_others[i].sampleEntry.empty() ? m_otherTracks[i].bytes : 0;
    return n;
}

std::string MdatScanner::SteppedOverFormats() const
{
    std::string formats;
    for (size_t i = 0; i < m_otherTracks.size(); ++i)
        if (m_others[i].sampleEntry.empty() && m_otherTracks[i].Samples() > 0 &&
            formats.find(m_others[i].format) == std::string::npos)
            formats += (formats.empty() ? "" : ", ") + m_others[i].format;
    return formats;
}

size_t MdatScanner::TelemetryAt(uint64_t at)
{
    // One "DEVC" KLV: its key, type 0 (it nests others), then a structure size and a repeat
    // count that give its length, padded to four bytes; the first nested key is four
    // capitals or digits ("DVID", "STRM").
    const uint8_t* h = at + 16 <= m_end ? View(at, 16) : nullptr;
    if (!h || std::memcmp(h, "DEVC", 4) != 0 || h[4] != 0)
        return 0;
    uint64_t size = 8 + ((static_cast<uint64_t>(h[5]) * BigEndian::Read(h + 6, 2) + 3) & ~3ULL);
    if (size < 16 || size > MostTelemetryBytes || at + size > m_end || !KeyByte(h[8]) || !KeyByte(h[9]) ||
        !KeyByte(h[10]) || !KeyByte(h[11]))
        return 0;
    return static_cast<size_t>(size);
}

size_t MdatScanner::SoundFrameAt(uint64_t at)
{
    if (!m_sound)
        return 0;
    size_t n = m_end - at < SoundFrameBytes ? static_cast<size_t>(m_end - at) : SoundFrameBytes;
    const uint8_t* data = View(at, n);
    return data ? m_sound->FrameLength(data, n) : 0;
}

bool MdatScanner::NextPicture(uint64_t& at)
{
    // Byte by byte to the next picture (or the headers before one) that continues the stream,
    // or a keyframe after damage.
    for (uint64_t p = at + 1; p < m_end && !m_failed; ++p) {
        if (p - m_commit >= (1u << 20))
            m_commit = p;
        // A run of zeros (a camera's filler, a wiped stretch) starts no unit until its last
        // four bytes: on to them at once.
        size_t zeros = ZerosAt(p);
        if (zeros > 4) {
            p += zeros - 5;
            m_zeros += zeros - 4;
            continue;
        }
        const uint8_t* here = View(p, HeaderBytes);
        NalUnit unit, strict;
        const size_t unbounded = (32u << 20) + 8;   // a unit the end cut short ends the walk as well
        if (!here || !m_video.Read(here, unbounded, unit, false) || !unit.startsPicture)
            continue;
        // Bytes that merely look like a unit (sound the walk cannot read, damage) give it a
        // length of up to 16 MB; a camera's pictures stay near the largest seen so far.
        if (m_largestUnit > 0 && unit.size > (unit.key ? 4 : 2) * m_largestUnit + 65536)
            continue;
        bool strictly = unit.key || !unit.picture || m_video.Read(here, unbounded, strict);
        bool continues = p + unit.size > m_end ? strictly
                                               : (unit.picture ? strictly && Follows(p + unit.size) : LeadsToPicture(p));
        if (continues) {
            at = p;
            return true;
        }
    }
    at = m_end;
    return false;
}

size_t MdatScanner::ZerosAt(uint64_t at)
{
    size_t n = m_end - at < (64u << 10) ? static_cast<size_t>(m_end - at) : (64u << 10);
    const uint8_t* here = View(at, n);
    size_t run = 0;
    while (here && run < n && here[run] == 0)
        ++run;
    return run;
}

bool MdatScanner::PictureAt(uint64_t at)
{
    const uint8_t* here = at < m_end ? View(at, HeaderBytes) : nullptr;
    NalUnit unit;
    return here && m_video.Read(here, Available(m_end - at), unit) && unit.startsPicture &&
           (unit.picture ? Follows(at + unit.size) : LeadsToPicture(at));
}

bool MdatScanner::FixedSound(uint64_t& at)
{
    // The camera's own chunk length first; else the sound runs to the next picture, or to
    // the end of what was written.
    const uint8_t* here = View(at, HeaderBytes);
    NalUnit cut;
    if (!here || (m_video.Read(here, (32u << 20) + 8, cut) && at + cut.size > m_end))
        return false;   // a picture the end of the file cut short, not sound
    uint64_t next = at;
    uint64_t chunk = static_cast<uint64_t>(m_chunkSamples) * m_fixedBytes;
    if (chunk > 0 && at + chunk <= m_end && (at + chunk == m_end || PictureAt(at + chunk)))
        next = at + chunk;
    else
        NextPicture(next);
    uint64_t samples = (next - at) / m_fixedBytes;
    if (samples == 0)
        return false;
    m_frames.AddFixed(at, samples, m_fixedBytes);
    m_skipped += (next - at) % m_fixedBytes;
    m_lastEnd = at + samples * m_fixedBytes;
    at = next;
    return true;
}

bool MdatScanner::LeadsToPicture(uint64_t at)
{
    for (int units = 0; units < 8 && at < m_end; ++units) {
        const uint8_t* here = View(at, HeaderBytes);
        NalUnit unit;
        if (!here || !m_video.Read(here, Available(m_end - at), unit, false))
            return false;
        if (unit.picture) {
            NalUnit strict;
            return unit.startsPicture && (unit.key || m_video.Read(here, Available(m_end - at), strict));
        }
        at += unit.size;
    }
    return false;
}

const uint8_t* MdatScanner::View(uint64_t at, size_t n)
{
    if (at < m_windowStart)
        return nullptr;
    while (at + n > m_windowEnd && m_windowEnd < m_end) {
        uint64_t before = m_windowEnd;
        if (!Slide() || m_windowEnd == before)
            break;
    }
    if (at > m_windowEnd || at - m_windowStart > m_windowBytes)
        return nullptr;
    return m_buffer.data() + (at - m_windowStart);
}

bool MdatScanner::Slide()
{
    if (m_failed)
        return false;
    size_t done = static_cast<size_t>(m_commit - m_windowStart);
    // In pieces of 1 MB: Wine writes one large buffer markedly slower.
    for (size_t at = 0; m_out && at < done;) {
        size_t piece = done - at < (1u << 20) ? done - at : (1u << 20);
        if (!m_out->Write(m_buffer.data() + at, piece)) {
            m_error = m_out->Error();
            m_writeFailed = true;
            m_failed = true;
            return false;
        }
        at += piece;
    }
    size_t kept = static_cast<size_t>(m_windowEnd - m_commit);
    std::memmove(m_buffer.data(), m_buffer.data() + done, kept);
    m_windowStart = m_commit;
    size_t room = m_windowBytes - kept;
    uint64_t left = m_end - m_windowEnd;
    size_t want = left < room ? static_cast<size_t>(left) : room;
    size_t got = 0;
    if (want > 0 && !m_file->Read(m_windowEnd, m_buffer.data() + kept, want, got)) {
        m_error = m_file->Error();
        m_failed = true;
        return false;
    }
    m_windowEnd += got;
    std::memset(m_buffer.data() + kept + got, 0, Slack);
    return true;
}
