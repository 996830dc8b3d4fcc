#pragma once

#include <string>

// Bytes of a bit string ("1011..."), padded with zeros: codec headers written out by hand.
inline std::string Bits(const std::string& bits)
{
    std::string out((bits.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1')
            out[i / 8] = static_cast<char>(out[i / 8] | (0x80 >> (i % 8)));
    return out;
}

// A field of `bits` bits, most significant first.
inline std::string Field(unsigned long long value, int bits)
{
    std::string out;
    for (int b = bits - 1; b >= 0; --b)
        out += (value >> b) & 1 ? '1' : '0';
    return out;
}

// The Exp-Golomb code of `value` (ue), and of a signed one (se).
inline std::string Ue(unsigned long long value)
{
    int width = 0;
    while ((value + 1) >> (width + 1))
        ++width;
    return std::string(width, '0') + Field(value + 1, width + 1);
}
inline std::string Se(long long value)
{
    return Ue(value > 0 ? 2 * value - 1 : -2 * value);
}

// Bytes written as hex digits ("67640028..."): parameter sets as encoders wrote them.
inline std::string Hex(const char* hex)
{
    std::string out;
    for (const char* p = hex; p[0] && p[1]; p += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
    return out;
}
