#include "codec/NalUnitReader.h"

#include "bytes/BigEndian.h"
#include "codec/BitReader.h"

#include <algorithm>

namespace {

bool HighProfile(uint32_t profile)
{
    static const uint32_t high[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    return std::find(std::begin(high), std::end(high), profile) != std::end(high);
}

// Usability information before the timing: aspect ratio, overscan, signal type, chroma siting.
void SkipPictureDescription(BitReader& in)
{
    if (in.Bit() && in.Read(8) == 255)
        in.Read(32);
    if (in.Bit())
        in.Bit();
    if (in.Bit()) {
        in.Read(4);
        if (in.Bit())
            in.Read(24);
    }
    if (in.Bit()) {
        in.Ue();
        in.Ue();
    }
}

// False for a step the codec does not allow (-128..127).
bool SkipScalingList(BitReader& in, int size)
{
    int last = 8, next = 8;
    for (int j = 0; j < size && in.Ok(); ++j) {
        if (next != 0) {
            int32_t delta = in.Se();
            if (delta < -128 || delta > 127)
                return false;
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
    return true;
}

// Parameter sets a camera writes: a few. A decoder config listing thousands is passed by.
const size_t MostParameterSets = 64;

} // namespace

bool NalUnitReader::TakeDecoderConfig(const std::string& c)
{
    const uint8_t* d = reinterpret_cast<const uint8_t*>(c.data());
    size_t n = c.size(), p;
    if (m_codec == VideoCodec::H264) {
        if (n < 7)
            return false;
        p = 5;
        for (int kind = 0; kind < 2; ++kind) {
            int count = kind == 0 ? (d[p] & 0x1F) : d[p];
            ++p;
            for (int i = 0; i < count; ++i) {
                if (p + 2 > n)
                    return false;
                size_t len = static_cast<size_t>(BigEndian::Read(d + p, 2));
                if (p + 2 + len > n || !TakeParameterSet(d + p + 2, len))
                    return false;
                p += 2 + len;
            }
            if (p >= n && kind == 0)
                return false;
        }
        return HasParameterSets();
    }
    if (n < 23)
        return false;
    int arrays = d[22];
    p = 23;
    for (int a = 0; a < arrays; ++a) {
        if (p + 3 > n)
            return false;
        int count = static_cast<int>(BigEndian::Read(d + p + 1, 2));
        p += 3;
        for (int i = 0; i < count; ++i) {
            if (p + 2 > n)
                return false;
            size_t len = static_cast<size_t>(BigEndian::Read(d + p, 2));
            if (p + 2 + len > n)
                return false;
            int type = len > 0 ? (d[p + 2] >> 1) & 0x3F : 0;
            if (type >= 32 && type <= 34 && !TakeParameterSet(d + p + 2, len))   // SEI arrays pass by
                return false;
            p += 2 + len;
        }
    }
    return HasParameterSets();
}

bool NalUnitReader::TakeParameterSet(const uint8_t* nal, size_t size)
{
    if (size < 2)
        return false;
    std::string raw(reinterpret_cast<const char*>(nal), size);
    if (m_codec == VideoCodec::Hevc) {
        int type = (nal[0] >> 1) & 0x3F;
        if (type < 32 || type > 34)
            return false;
        std::string rbsp = BitReader::Unescaped(nal + 2, size - 2, 4096);
        if ((type == 32 && !ParseHevcVps(rbsp)) || (type == 33 && !ParseHevcSps(rbsp)) ||
            (type == 34 && !ParseHevcPps(rbsp)))
            return false;
    } else {
        int type = nal[0] & 0x1F;
        std::string rbsp = BitReader::Unescaped(nal + 1, size - 1, 4096);
        if (type == 7) {
            if (!ParseSps(rbsp))
                return false;
        } else if (type == 8) {
            BitReader in(rbsp);
            uint32_t pps = in.Ue(), sps = in.Ue();
            if (!in.Ok() || pps > 255 || sps > 31)
                return false;
            m_pps.erase(std::remove_if(m_pps.begin(), m_pps.end(), [pps](const Pps& e) { return e.id == static_cast<int>(pps); }),
                        m_pps.end());
            Pps entry;
            entry.id = static_cast<int>(pps);
            entry.sps = static_cast<int>(sps);
            m_pps.push_back(entry);
        } else {
            return false;
        }
    }
    if (m_raw.size() < MostParameterSets && std::find(m_raw.begin(), m_raw.end(), raw) == m_raw.end())
        m_raw.push_back(raw);
    return true;
}

bool NalUnitReader::ParseSps(const std::string& rbsp)
{
    BitReader in(rbsp);
    Sps s;
    // Every count and size is checked against what H.264 allows before it is used.
    uint32_t profile = in.Read(8);
    in.Read(16);
    uint32_t id = in.Ue();
    if (id > 31)
        return false;
    s.id = static_cast<int>(id);
    uint32_t chroma = 1;
    if (HighProfile(profile)) {
        chroma = in.Ue();
        if (chroma > 3)
            return false;
        if (chroma == 3)
            s.separatePlanes = in.Bit() != 0;
        in.Ue();
        in.Ue();
        in.Bit();
        if (in.Bit())
            for (int i = 0; i < (chroma == 3 ? 12 : 8) && in.Ok(); ++i)
                if (in.Bit() && !SkipScalingList(in, i < 6 ? 16 : 64))
                    return false;
    }
    uint32_t log2MaxFrameNum = in.Ue(), pocType = 0;
    if (log2MaxFrameNum > 12 || (pocType = in.Ue()) > 2)
        return false;
    s.log2MaxFrameNum = static_cast<int>(log2MaxFrameNum) + 4;
    s.pocType = static_cast<int>(pocType);
    if (s.pocType == 0) {
        uint32_t log2MaxPocLsb = in.Ue();
        if (log2MaxPocLsb > 12)
            return false;
        s.log2MaxPocLsb = static_cast<int>(log2MaxPocLsb) + 4;
    } else if (s.pocType == 1) {
        in.Bit();
        in.Se();
        in.Se();
        uint32_t cycle = in.Ue();
        for (uint32_t i = 0; i < cycle && i < 256 && in.Ok(); ++i)
            in.Se();
    }
    in.Ue();
    in.Bit();
    long long widthMbs = in.Ue() + 1LL, heightUnits = in.Ue() + 1LL;
    s.frameMbsOnly = in.Bit() != 0;
    if (!s.frameMbsOnly)
        in.Bit();
    in.Bit();
    long long crop[4] = {0, 0, 0, 0};
    if (in.Bit())
        for (long long& c : crop)
            c = in.Ue();
    if (!in.Ok() || widthMbs > 1024 || heightUnits > 1024)
        return false;
    s.pictureMbs = widthMbs * heightUnits * (s.frameMbsOnly ? 1 : 2);
    int cropX = chroma == 0 || chroma == 3 ? 1 : 2, cropY = (chroma == 1 ? 2 : 1) * (s.frameMbsOnly ? 1 : 2);
    long long width = widthMbs * 16 - (crop[0] + crop[1]) * cropX;
    long long height = heightUnits * 16 * (s.frameMbsOnly ? 1 : 2) - (crop[2] + crop[3]) * cropY;
    if (width <= 0 || height <= 0)
        return false;   // cropped away to nothing
    m_width = static_cast<int>(width);
    m_height = static_cast<int>(height);
    if (in.Bit()) {   // video usability information, up to its timing
        SkipPictureDescription(in);
        if (in.Bit())
            TakeTiming(in, 2);   // a tick is a field's time
    }
    m_sps.erase(std::remove_if(m_sps.begin(), m_sps.end(), [&s](const Sps& e) { return e.id == s.id; }),
                m_sps.end());
    m_sps.push_back(s);
    return true;
}

const NalUnitReader::Pps* NalUnitReader::FindPps(int id) const
{
    for (const Pps& p : m_pps)
        if (p.id == id)
            return &p;
    return nullptr;
}

const NalUnitReader::Sps* NalUnitReader::SpsOfPps(int ppsId) const
{
    const Pps* pps = FindPps(ppsId);
    for (const Sps& s : m_sps)
        if (pps && s.id == pps->sps)
            return &s;
    return nullptr;
}

namespace {

void SkipProfileTierLevel(BitReader& in, int subLayers)
{
    in.Read(32);   // general profile (88 bits)
    in.Read(32);
    in.Read(24);
    in.Read(8);    // ... and level
    bool profile[8] = {}, level[8] = {};
    for (int i = 0; i < subLayers; ++i) {
        profile[i] = in.Bit() != 0;
        level[i] = in.Bit() != 0;
    }
    for (int i = subLayers; subLayers > 0 && i < 8; ++i)
        in.Read(2);
    for (int i = 0; i < subLayers; ++i) {
        if (profile[i]) {
            in.Read(32);
            in.Read(32);
            in.Read(24);
        }
        if (level[i])
            in.Read(8);
    }
}

} // namespace

void NalUnitReader::TakeTiming(BitReader& in, uint32_t ticksPerFrame)
{
    uint32_t tick = in.Read(32), scale = in.Read(32);
    if (in.Ok() && tick > 0 && scale > 0 && scale / tick <= 480) {
        m_timeScale = scale;
        m_frameTicks = ticksPerFrame * tick;
    }
}

bool NalUnitReader::ParseHevcVps(const std::string& rbsp)
{
    // Only for its timing, which HEVC encoders state here.
    BitReader in(rbsp);
    in.Read(12);
    int subLayers = static_cast<int>(in.Read(3));
    in.Read(17);
    SkipProfileTierLevel(in, subLayers);
    for (int i = in.Bit() ? 0 : subLayers; i <= subLayers; ++i)
        for (int k = 0; k < 3; ++k)
            in.Ue();
    int maxLayer = static_cast<int>(in.Read(6));
    uint32_t sets = in.Ue();
    for (uint32_t i = 1; i <= sets && i < 1024 && in.Ok(); ++i)
        in.Read(maxLayer + 1);
    if (in.Bit())
        TakeTiming(in, 1);   // HEVC's tick is a picture's time
    return true;
}

bool NalUnitReader::ParseHevcSps(const std::string& rbsp)
{
    BitReader in(rbsp);
    in.Read(4);
    int subLayers = static_cast<int>(in.Read(3));
    in.Bit();
    SkipProfileTierLevel(in, subLayers);
    Sps s;
    uint32_t id = in.Ue();
    if (id > 15)
        return false;
    s.id = static_cast<int>(id);
    uint32_t chroma = in.Ue();
    if (chroma == 3)
        s.separatePlanes = in.Bit() != 0;
    uint32_t width = in.Ue(), height = in.Ue();
    if (in.Bit())
        for (int i = 0; i < 4; ++i)
            in.Ue();
    in.Ue();
    in.Ue();
    uint32_t log2MaxPocLsb = in.Ue();
    if (!in.Ok() || log2MaxPocLsb > 12 || width == 0 || width > 16384 || height > 16384)
        return false;
    s.log2MaxPocLsb = static_cast<int>(log2MaxPocLsb) + 4;
    HevcTiming(in, subLayers, s.log2MaxPocLsb);
    m_width = static_cast<int>(width);
    m_height = static_cast<int>(height);
    m_sps.erase(std::remove_if(m_sps.begin(), m_sps.end(), [&s](const Sps& e) { return e.id == s.id; }),
                m_sps.end());
    m_sps.push_back(s);
    return true;
}

void NalUnitReader::HevcTiming(BitReader& in, int subLayers, int log2MaxPocLsb)
{
    // The rest of the SPS up to its usability information, whose timing tells the frame rate.
    for (int i = in.Bit() ? 0 : subLayers; i <= subLayers; ++i)
        for (int k = 0; k < 3; ++k)
            in.Ue();
    for (int k = 0; k < 6; ++k)
        in.Ue();
    if (in.Bit() && in.Bit())   // scaling lists given
        for (int size = 0; size < 4; ++size)
            for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
                if (!in.Bit()) {
                    in.Ue();
                    continue;
                }
                int coefficients = std::min(64, 1 << (4 + (size << 1)));
                if (size > 1)
                    in.Se();
                for (int i = 0; i < coefficients && in.Ok(); ++i)
                    in.Se();
            }
    in.Read(2);
    if (in.Bit()) {   // PCM
        in.Read(8);
        in.Ue();
        in.Ue();
        in.Bit();
    }
    uint32_t sets = in.Ue();
    std::vector<uint32_t> deltas;
    for (uint32_t i = 0; i < sets && i < 64 && in.Ok(); ++i) {
        uint32_t count = 0;
        if (i > 0 && in.Bit()) {   // predicted from the set before
            in.Bit();
            in.Ue();
            for (uint32_t j = 0; j <= deltas.back() && in.Ok(); ++j)
                if (in.Bit() || in.Bit())
                    ++count;
        } else {
            uint32_t negative = in.Ue(), positive = in.Ue();
            if (negative > 16 || positive > 16)
                return;
            count = negative + positive;
            for (uint32_t j = 0; j < count; ++j) {
                in.Ue();
                in.Bit();
            }
        }
        deltas.push_back(count);
    }
    if (in.Bit()) {   // long-term pictures
        uint32_t n = in.Ue();
        for (uint32_t i = 0; i < n && i < 33 && in.Ok(); ++i)
            in.Read(log2MaxPocLsb + 1);
    }
    in.Read(2);
    if (!in.Bit() || !in.Ok())
        return;
    SkipPictureDescription(in);
    in.Read(3);
    if (in.Bit())
        for (int k = 0; k < 4; ++k)
            in.Ue();
    if (in.Bit())
        TakeTiming(in, 1);
}

bool NalUnitReader::ParseHevcPps(const std::string& rbsp)
{
    BitReader in(rbsp);
    Pps p;
    uint32_t id = in.Ue(), sps = in.Ue();
    p.dependentSlices = in.Bit() != 0;
    p.outputFlag = in.Bit() != 0;
    p.extraBits = static_cast<int>(in.Read(3));
    if (!in.Ok() || id > 63 || sps > 15)
        return false;
    p.id = static_cast<int>(id);
    p.sps = static_cast<int>(sps);
    m_pps.erase(std::remove_if(m_pps.begin(), m_pps.end(), [&p](const Pps& e) { return e.id == p.id; }), m_pps.end());
    m_pps.push_back(p);
    return true;
}

bool NalUnitReader::Read(const uint8_t* data, size_t available, NalUnit& out, bool strict) const
{
    if (available < static_cast<size_t>(m_lengthSize) + 2)
        return false;
    uint32_t length = static_cast<uint32_t>(BigEndian::Read(data, m_lengthSize));
    if (length < 2 || length > available - static_cast<size_t>(m_lengthSize) || length > (32u << 20))
        return false;
    out = NalUnit();
    out.size = length + static_cast<uint32_t>(m_lengthSize);
    const uint8_t* nal = data + m_lengthSize;
    return m_codec == VideoCodec::H264 ? ReadH264(nal, length, out, strict) : ReadHevc(nal, length, out);
}

bool NalUnitReader::ReadH264(const uint8_t* nal, size_t size, NalUnit& out, bool strict) const
{
    if (nal[0] & 0x80)
        return false;
    int refIdc = (nal[0] >> 5) & 3;
    out.type = nal[0] & 0x1F;
    out.reference = refIdc != 0;
    switch (out.type) {
    case 1:
    case 5:
        break;
    case 7:
    case 8:
        out.startsPicture = true;
        return refIdc != 0 && size <= 1024;
    case 6:
        out.startsPicture = true;
        return refIdc == 0;
    case 9:   // access unit delimiter: one byte of picture type
        out.startsPicture = true;
        return refIdc == 0 && size == 2;
    case 10:
    case 11:
    case 12:
        return refIdc == 0;
    default:
        return false;
    }
    if (out.type == 5 && refIdc == 0)
        return false;
    out.picture = true;
    out.key = out.type == 5;
    std::string rbsp = BitReader::Unescaped(nal + 1, size - 1, 24);
    BitReader in(rbsp);
    uint32_t firstMb = in.Ue();
    uint32_t sliceType = in.Ue();
    int pps = static_cast<int>(in.Ue());
    const Sps* sps = SpsOfPps(pps);
    if (!in.Ok() || sliceType > 9 || !sps || firstMb >= sps->pictureMbs)
        return false;
    if (sps->separatePlanes && in.Read(2) > 2)
        return false;
    out.frameNum = static_cast<int>(in.Read(sps->log2MaxFrameNum));
    if (!sps->frameMbsOnly && in.Bit()) {
        out.field = true;
        out.bottom = in.Bit() != 0;
    }
    if (out.key) {
        in.Ue();
        if (out.frameNum != 0)
            return false;
    }
    if (sps->pocType == 0)
        out.pocLsb = static_cast<int>(in.Read(sps->log2MaxPocLsb));
    out.startsPicture = firstMb == 0;
    if (!in.Ok())
        return false;
    if (!strict || out.key || !m_started)
        return true;
    int next = (m_lastRefFrameNum + 1) % (1 << sps->log2MaxFrameNum);
    if (!out.startsPicture)
        return out.frameNum == m_lastPicture.frameNum;
    return out.frameNum == next || out.frameNum == m_lastRefFrameNum;
}

bool NalUnitReader::ReadHevc(const uint8_t* nal, size_t size, NalUnit& out) const
{
    if ((nal[0] & 0x80) || (nal[0] & 1) || (nal[1] >> 3) != 0 || (nal[1] & 7) == 0)
        return false;   // forbidden bit, layer 0 only, a temporal id
    out.type = (nal[0] >> 1) & 0x3F;
    out.temporalId = (nal[1] & 7) - 1;
    if (out.type <= 9 || (out.type >= 16 && out.type <= 21)) {
        out.picture = true;
        out.key = out.type >= 16;
        // Sub-layer non-reference and leading pictures do not anchor the order count.
        out.reference = out.temporalId == 0 && !(out.type >= 6 && out.type <= 9) && !(out.type <= 14 && out.type % 2 == 0);
        std::string rbsp = BitReader::Unescaped(nal + 2, size - 2, 24);
        BitReader in(rbsp);
        out.startsPicture = in.Bit() != 0;
        if (out.key)
            in.Bit();
        const Pps* pps = FindPps(static_cast<int>(in.Ue()));
        const Sps* sps = pps ? SpsOfPps(pps->id) : nullptr;
        if (!in.Ok() || !sps)
            return false;
        if (!out.startsPicture)
            return true;   // its address needs the picture's size: the first slice told the rest
        in.Read(pps->extraBits);
        if (in.Ue() > 2)   // slice type
            return false;
        if (pps->outputFlag)
            in.Bit();
        if (sps->separatePlanes)
            in.Read(2);
        out.pocLsb = out.type == 19 || out.type == 20 ? 0 : static_cast<int>(in.Read(sps->log2MaxPocLsb));
        return in.Ok();
    }
    if (out.type >= 32 && out.type <= 35) {
        out.startsPicture = true;
        return true;
    }
    if (out.type == 39 || out.type == 40) {
        out.startsPicture = out.type == 39;
        return true;
    }
    return false;
}

bool NalUnitReader::SecondField(const NalUnit& slice) const
{
    return slice.field && m_lastPicture.field && slice.bottom != m_lastPicture.bottom &&
           slice.frameNum == m_lastPicture.frameNum && !slice.key;
}

long long NalUnitReader::TakePicture(const NalUnit& first)
{
    m_started = true;
    long long poc = -1;
    if (first.pocLsb >= 0) {
        if (first.key && (m_codec == VideoCodec::H264 || first.type == 19 || first.type == 20)) {
            m_prevPocMsb = 0;
            m_prevPocLsb = 0;
        }
        const Sps* sps = m_sps.empty() ? nullptr : &m_sps.back();
        long long max = 1LL << (sps ? sps->log2MaxPocLsb : 16);
        long long msb = m_prevPocMsb;
        if (first.pocLsb < m_prevPocLsb && m_prevPocLsb - first.pocLsb >= max / 2)
            msb += max;
        else if (first.pocLsb > m_prevPocLsb && first.pocLsb - m_prevPocLsb > max / 2)
            msb -= max;
        poc = msb + first.pocLsb;
        if (first.reference) {
            m_prevPocMsb = msb;
            m_prevPocLsb = first.pocLsb;
        }
    }
    if (first.reference)
        m_lastRefFrameNum = first.frameNum;
    m_lastPicture = first;
    return poc;
}
