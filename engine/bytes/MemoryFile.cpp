#include "bytes/MemoryFile.h"

#include <algorithm>
#include <cstring>

bool MemoryFile::Read(uint64_t at, void* to, size_t n, size_t& got)
{
    got = at < m_bytes.size() ? static_cast<size_t>(std::min<uint64_t>(n, m_bytes.size() - at)) : 0;
    if (got > 0)
        std::memcpy(to, m_bytes.data() + at, got);
    return true;
}

bool MemoryFile::Write(const void* data, size_t n)
{
    m_bytes.append(static_cast<const char*>(data), n);
    return true;
}

bool MemoryFile::CutAt(uint64_t at)
{
    if (at > m_bytes.size())
        return false;
    m_bytes.resize(static_cast<size_t>(at));
    return true;
}

bool MemoryFile::Patch(uint64_t at, const void* data, size_t n)
{
    if (at > m_bytes.size() || n > m_bytes.size() - at)
        return false;
    std::memcpy(&m_bytes[static_cast<size_t>(at)], data, n);
    return true;
}
