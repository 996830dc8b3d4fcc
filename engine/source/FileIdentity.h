#pragma once

#include <string>

// Which file a path names: two spellings of one file (short 8.3 name, other case, another
// mapped path) compare equal. By the volume and the 128-bit file id where Windows gives
// one (Windows 8 on), else the 64-bit file index; an id of zeros (ReFS, Dev Drive, some
// network file systems) is unknown, and the files' final paths are compared instead.
class FileIdentity
{
public:
    // False when the path cannot be opened (error holds GetLastError()).
    bool Read(const std::wstring& path, unsigned long& error);
    bool SameFileAs(const FileIdentity& other) const;
    bool Valid() const { return m_valid; }

    // For tests: an identity as a file system might report it.
    static FileIdentity Of(unsigned long long volume, const std::string& id16, const std::wstring& finalPath);

private:
    bool IdKnown() const;

    bool m_valid = false;
    unsigned long long m_volume = 0;
    std::string m_id;              // 16 bytes
    std::wstring m_finalPath;      // as GetFinalPathNameByHandle gives it
};
