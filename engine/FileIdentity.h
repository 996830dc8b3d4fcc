#pragma once

#include <string>

// Which file a path names, by volume serial number and file index: two spellings of one
// file (short 8.3 name, other case, another mapped path) compare equal.
class FileIdentity
{
public:
    // False when the path cannot be opened (error holds GetLastError()).
    bool Read(const std::wstring& path, unsigned long& error);
    bool SameFileAs(const FileIdentity& other) const;
    bool Valid() const { return m_valid; }

private:
    bool m_valid = false;
    unsigned long m_volume = 0;
    unsigned long m_indexHigh = 0;
    unsigned long m_indexLow = 0;
};
