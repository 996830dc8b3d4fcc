#include "codec/AacFrameParser.h"

#include "codec/AacTables.h"
#include "codec/BitReader.h"

#include <vector>

namespace {

// A binary tree for each code book: node pairs, a leaf is -(index + 1).
class HuffmanTree
{
public:
    template <typename Code>
    HuffmanTree(const Code* codes, const uint8_t* bits, int count) : m_nodes(2, 0)
    {
        for (int i = 0; i < count; ++i) {
            size_t node = 0;
            for (int b = bits[i] - 1; b >= 0; --b) {
                size_t branch = node + ((codes[i] >> b) & 1);
                if (b == 0) {
                    m_nodes[branch] = -(i + 1);
                } else {
                    if (m_nodes[branch] <= 0) {
                        m_nodes[branch] = static_cast<int>(m_nodes.size());
                        m_nodes.push_back(0);
                        m_nodes.push_back(0);
                    }
                    node = static_cast<size_t>(m_nodes[branch]);
                }
            }
        }
    }
    // The index of the next code, or -1 for bits that are no code.
    int Decode(BitReader& in) const
    {
        size_t node = 0;
        for (int depth = 0; depth < 20; ++depth) {
            int next = m_nodes[node + in.Bit()];
            if (next < 0)
                return -next - 1;
            if (next == 0 || !in.Ok())
                return -1;
            node = static_cast<size_t>(next);
        }
        return -1;
    }

private:
    std::vector<int> m_nodes;
};

const HuffmanTree& ScalefactorTree()
{
    static const HuffmanTree tree(AacTables::ScalefactorCode, AacTables::ScalefactorBits, 121);
    return tree;
}

const HuffmanTree& SpectralTree(int book)
{
    static const std::vector<HuffmanTree> trees = [] {
        std::vector<HuffmanTree> t;
        for (int i = 0; i < 11; ++i)
            t.emplace_back(AacTables::SpectralCodes[i], AacTables::SpectralBits[i], AacTables::SpectralSize[i]);
        return t;
    }();
    return trees[static_cast<size_t>(book - 1)];
}

enum { ZeroBook = 0, EscapeBook = 11, NoiseBook = 13, IntensityBook2 = 14, IntensityBook = 15 };
const int EightShort = 2;

struct IcsInfo
{
    bool eightShort = false;
    int maxBands = 0;
    int groups = 1;
    int groupLength[8] = {1, 1, 1, 1, 1, 1, 1, 1};
};

class FrameReader
{
public:
    FrameReader(BitReader& in, int rateIndex) : m_in(in), m_rate(rateIndex) {}

    bool Element(int id)
    {
        m_in.Read(4);   // element instance tag
        if (id == 0 || id == 3)
            return ChannelStream(false, IcsInfo());
        IcsInfo shared;
        bool common = m_in.Bit() != 0;
        if (common) {
            if (!Info(shared))
                return false;
            uint32_t ms = m_in.Read(2);
            if (ms == 3)
                return false;
            if (ms == 1)
                m_in.Read(shared.groups * shared.maxBands);
        }
        return ChannelStream(common, shared) && ChannelStream(common, shared);
    }

private:
    bool Info(IcsInfo& info)
    {
        if (m_in.Bit())   // reserved
            return false;
        info.eightShort = m_in.Read(2) == EightShort;
        m_in.Bit();       // window shape
        if (info.eightShort) {
            info.maxBands = static_cast<int>(m_in.Read(4));
            uint32_t grouping = m_in.Read(7);
            info.groups = 1;
            for (int i = 0; i < 8; ++i)
                info.groupLength[i] = 0;
            info.groupLength[0] = 1;
            for (int w = 6; w >= 0; --w) {
                if ((grouping >> w) & 1)
                    ++info.groupLength[info.groups - 1];
                else
                    info.groupLength[info.groups++] = 1;
            }
            return info.maxBands <= AacTables::ShortBands[m_rate];
        }
        info.maxBands = static_cast<int>(m_in.Read(6));
        if (m_in.Bit())   // prediction: not in Low Complexity
            return false;
        return info.maxBands <= AacTables::LongBands[m_rate];
    }

    bool ChannelStream(bool common, IcsInfo info)
    {
        m_in.Read(8);   // global gain
        if (!common && !Info(info))
            return false;
        int books[8][64];
        if (!Sections(info, books) || !ScaleFactors(info, books))
            return false;
        if (m_in.Bit() && (info.eightShort || !Pulses()))
            return false;
        if (m_in.Bit() && !NoiseShaping(info))
            return false;
        if (m_in.Bit())   // gain control: not in Low Complexity
            return false;
        return Spectrum(info, books) && m_in.Ok();
    }

    bool Sections(const IcsInfo& info, int books[8][64])
    {
        int lengthBits = info.eightShort ? 3 : 5;
        uint32_t escape = (1u << lengthBits) - 1;
        for (int g = 0; g < info.groups; ++g) {
            int band = 0;
            while (band < info.maxBands) {
                int book = static_cast<int>(m_in.Read(4));
                if (book == 12)
                    return false;
                int length = 0;
                uint32_t step;
                while ((step = m_in.Read(lengthBits)) == escape && m_in.Ok())
                    length += static_cast<int>(escape);
                length += static_cast<int>(step);
                if (!m_in.Ok() || length == 0 || band + length > info.maxBands)
                    return false;
                for (int i = 0; i < length; ++i)
                    books[g][band++] = book;
            }
        }
        return true;
    }

    bool ScaleFactors(const IcsInfo& info, int books[8][64])
    {
        bool firstNoise = true;
        for (int g = 0; g < info.groups; ++g)
            for (int band = 0; band < info.maxBands; ++band) {
                int book = books[g][band];
                if (book == ZeroBook)
                    continue;
                if (book == NoiseBook && firstNoise) {
                    firstNoise = false;
                    m_in.Read(9);
                } else if (ScalefactorTree().Decode(m_in) < 0) {
                    return false;
                }
            }
        return m_in.Ok();
    }

    bool Pulses()
    {
        uint32_t count = m_in.Read(2) + 1;
        m_in.Read(6);
        m_in.Read(9 * static_cast<int>(count));
        return m_in.Ok();
    }

    bool NoiseShaping(const IcsInfo& info)
    {
        int windows = info.eightShort ? 8 : 1;
        for (int w = 0; w < windows; ++w) {
            uint32_t filters = m_in.Read(info.eightShort ? 1 : 2);
            if (filters == 0)
                continue;
            uint32_t resolution = m_in.Bit();
            for (uint32_t f = 0; f < filters; ++f) {
                m_in.Read(info.eightShort ? 4 : 6);
                uint32_t order = m_in.Read(info.eightShort ? 3 : 5);
                if (order > (info.eightShort ? 7u : 12u))
                    return false;
                if (order == 0)
                    continue;
                m_in.Bit();
                uint32_t compress = m_in.Bit();
                m_in.Read(static_cast<int>((3 + resolution - compress) * order));
            }
        }
        return m_in.Ok();
    }

    bool Spectrum(const IcsInfo& info, int books[8][64])
    {
        const uint16_t* offsets = info.eightShort ? AacTables::ShortOffsets[m_rate] : AacTables::LongOffsets[m_rate];
        for (int g = 0; g < info.groups; ++g)
            for (int band = 0; band < info.maxBands; ++band) {
                int book = books[g][band];
                if (book == ZeroBook || book >= NoiseBook)
                    continue;
                int dimension = book < 5 ? 4 : 2;
                bool unsignedValues = book >= 3 && book != 5 && book != 6;
                int modulo = book == EscapeBook ? 17 : (book >= 9 ? 13 : book >= 7 ? 8 : book >= 5 ? 9 : 3);
                int lines = (offsets[band + 1] - offsets[band]) * info.groupLength[g];
                for (int k = 0; k < lines; k += dimension) {
                    int index = SpectralTree(book).Decode(m_in);
                    if (index < 0)
                        return false;
                    if (!unsignedValues)
                        continue;
                    int values[4];
                    for (int d = dimension - 1; d >= 0; --d) {
                        values[d] = index % modulo;
                        index /= modulo;
                    }
                    for (int d = 0; d < dimension; ++d)
                        if (values[d] != 0)
                            m_in.Bit();   // sign
                    for (int d = 0; book == EscapeBook && d < dimension; ++d)
                        if (values[d] == 16 && !Escape())
                            return false;
                }
            }
        return m_in.Ok();
    }

    bool Escape()
    {
        int prefix = 0;
        while (m_in.Bit() && m_in.Ok())
            if (++prefix > 8)
                return false;
        m_in.Read(prefix + 4);
        return m_in.Ok();
    }

    BitReader& m_in;
    int m_rate;
};

} // namespace

bool AacFrameParser::Configure(const std::string& config)
{
    if (config.size() < 2)
        return false;
    BitReader in(reinterpret_cast<const uint8_t*>(config.data()), config.size());
    uint32_t type = in.Read(5);
    if (type == 31)
        type = 32 + in.Read(6);
    uint32_t rate = in.Read(4);
    if (rate == 15)
        return false;   // a frequency by number: no camera writes one
    uint32_t channels = in.Read(4);
    if (type == 5 || type == 29) {   // HE-AAC: the core's settings follow
        in.Read(4);
        type = in.Read(5);
    }
    if (type != 2 || rate > 12 || channels < 1 || channels > 2 || !in.Ok())
        return false;
    m_rateIndex = static_cast<int>(rate);
    m_channels = static_cast<int>(channels);
    return true;
}

size_t AacFrameParser::FrameLength(const uint8_t* data, size_t available) const
{
    if (m_rateIndex < 0 || available == 0)
        return 0;
    BitReader in(data, available);
    FrameReader frame(in, m_rateIndex);
    int channels = 0;
    for (int elements = 0; elements < 16; ++elements) {
        uint32_t id = in.Read(3);
        if (!in.Ok())
            return 0;
        switch (id) {
        case 0:   // single channel
        case 1:   // channel pair
        case 3:   // low frequency
            channels += id == 1 ? 2 : 1;
            if (!frame.Element(static_cast<int>(id)))
                return 0;
            break;
        case 4: { // data stream
            in.Read(4);
            bool align = in.Bit() != 0;
            uint32_t count = in.Read(8);
            if (count == 255)
                count += in.Read(8);
            if (align)
                in.Align();
            in.SkipBytes(count);
            break;
        }
        case 6: { // fill (HE-AAC's extension data)
            uint32_t count = in.Read(4);
            if (count == 15)
                count += in.Read(8) - 1;
            in.SkipBytes(count);
            break;
        }
        case 7:   // end
            if (channels != m_channels)
                return 0;
            in.Align();
            return in.Ok() ? in.Position() / 8 : 0;
        default:  // coupling and programme configuration: no camera writes them
            return 0;
        }
        if (!in.Ok())
            return 0;
    }
    return 0;
}
