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
