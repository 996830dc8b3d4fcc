#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Reads a codec's bit fields most significant bit first, Exp-Golomb codes included. Reading
// past the end yields zeros and marks the reader, so a caller checks Ok() once at the end.
class BitReader
{
public:
    BitReader(const uint8_t* data, size_t bytes) : m_data(data), m_bits(bytes * 8) {}
    explicit BitReader(const std::string& bytes)
        : BitReader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) {}

    uint32_t Bit()
    {
        if (m_pos >= m_bits) {
            m_overrun = true;
            return 0;
        }
        uint32_t b = (m_data[m_pos >> 3] >> (7 - (m_pos & 7))) & 1;
        ++m_pos;
        return b;
    }
    uint32_t Read(int n);
    uint32_t Ue();
    int32_t Se();
    void SkipBytes(size_t n);
    void Align() { m_pos = (m_pos + 7) & ~static_cast<size_t>(7); }
    bool Ok() const { return !m_overrun && m_pos <= m_bits; }
    size_t Position() const { return m_pos; }

    // A NAL unit's payload without its emulation prevention bytes (00 00 03), at most `limit`
    // bytes of it.
    static std::string Unescaped(const uint8_t* payload, size_t n, size_t limit);

private:
    const uint8_t* m_data;
    size_t m_bits;
    size_t m_pos = 0;
    bool m_overrun = false;
};
