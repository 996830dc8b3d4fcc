#include "codec/BitReader.h"

uint32_t BitReader::Read(int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 1) | Bit();
    return v;
}

uint32_t BitReader::Ue()
{
    int zeros = 0;
    while (!Bit()) {
        if (++zeros > 31 || m_overrun) {
            m_overrun = true;
            return 0;
        }
    }
    return ((1u << zeros) - 1) + Read(zeros);
}

int32_t BitReader::Se()
{
    uint32_t v = Ue();
    return (v & 1) ? static_cast<int32_t>((v + 1) / 2) : -static_cast<int32_t>(v / 2);
}

void BitReader::SkipBytes(size_t n)
{
    m_pos += n * 8;
    if (m_pos > m_bits)
        m_overrun = true;
}

std::string BitReader::Unescaped(const uint8_t* p, size_t n, size_t limit)
{
    std::string out;
    int zeros = 0;
    for (size_t i = 0; i < n && out.size() < limit; ++i) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out.push_back(static_cast<char>(p[i]));
    }
    return out;
}
