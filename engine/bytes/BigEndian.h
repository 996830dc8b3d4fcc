#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Big-endian fields of boxes and codec headers. Reads past the end of the bytes give 0, so a
// parser checks a box's length once instead of at every field.
namespace BigEndian {

inline uint64_t Read(const std::string& d, size_t at, int bytes)
{
    if (at > d.size() || static_cast<size_t>(bytes) > d.size() - at)
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | static_cast<unsigned char>(d[at + i]);
    return v;
}

// `bytes` (at most 8) bytes at p that the caller has bounded: a length prefix, a field of a
// decoder config.
inline uint64_t Read(const uint8_t* p, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

inline uint16_t Be16(const std::string& d, size_t at) { return static_cast<uint16_t>(Read(d, at, 2)); }
inline uint32_t Be32(const std::string& d, size_t at) { return static_cast<uint32_t>(Read(d, at, 4)); }
inline uint64_t Be64(const std::string& d, size_t at) { return Read(d, at, 8); }

// Appends v in `bytes` bytes; bytes beyond the eighth are zeros (a wide field of a small value).
inline void Put(std::string& s, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        s.push_back(i < 8 ? static_cast<char>((v >> (8 * i)) & 0xFF) : '\0');
}

} // namespace BigEndian
