#include "FileIdentity.h"

#include <windows.h>

bool FileIdentity::Read(const std::wstring& path, unsigned long& error)
{
    m_valid = false;
    // No data access: works on files another program holds open, and on folders.
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    error = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (!ok)
        return false;
    m_volume = info.dwVolumeSerialNumber;
    m_indexHigh = info.nFileIndexHigh;
    m_indexLow = info.nFileIndexLow;
    m_valid = true;
    return true;
}

bool FileIdentity::SameFileAs(const FileIdentity& other) const
{
    return m_valid && other.m_valid && m_volume == other.m_volume && m_indexHigh == other.m_indexHigh &&
           m_indexLow == other.m_indexLow;
}
