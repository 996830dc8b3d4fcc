#include "source/FileIdentity.h"

#include "windows/UniqueHandle.h"

#include <windows.h>

namespace {

// FILE_ID_INFO (Windows 8 and later), declared here: older SDKs lack it.
struct FileIdInfo
{
    ULONGLONG VolumeSerialNumber;
    BYTE FileId[16];
};

typedef BOOL(WINAPI* GetInfoEx)(HANDLE, int, LPVOID, DWORD);
const int FileIdInfoClass = 18;

} // namespace

FileIdentity FileIdentity::Of(unsigned long long volume, const std::string& id16, const std::wstring& finalPath)
{
    FileIdentity f;
    f.m_valid = true;
    f.m_volume = volume;
    f.m_id = id16;
    f.m_id.resize(16, '\0');
    f.m_finalPath = finalPath;
    return f;
}

bool FileIdentity::Read(const std::wstring& path, unsigned long& error)
{
    m_valid = false;
    // No data access: works on files another program holds open, and on folders.
    UniqueHandle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) {
        error = GetLastError();
        return false;
    }
    m_id.assign(16, '\0');
    // Looked up at run time: Windows 7 has neither the call's id class nor, before SP1,
    // always the call.
    static GetInfoEx getInfoEx = reinterpret_cast<GetInfoEx>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx")));
    FileIdInfo id;
    BY_HANDLE_FILE_INFORMATION info;
    if (getInfoEx && getInfoEx(h.Get(), FileIdInfoClass, &id, sizeof id)) {
        m_volume = id.VolumeSerialNumber;
        m_id.assign(reinterpret_cast<const char*>(id.FileId), 16);
    } else if (GetFileInformationByHandle(h.Get(), &info)) {
        m_volume = info.dwVolumeSerialNumber;
        for (int i = 0; i < 4; ++i) {
            m_id[i] = static_cast<char>(info.nFileIndexLow >> (8 * i));
            m_id[4 + i] = static_cast<char>(info.nFileIndexHigh >> (8 * i));
        }
    } else {
        error = GetLastError();
        return false;
    }
    wchar_t finalPath[1024];
    DWORD n = GetFinalPathNameByHandleW(h.Get(), finalPath, 1024, FILE_NAME_NORMALIZED);
    m_finalPath = n > 0 && n < 1024 ? std::wstring(finalPath, n) : std::wstring();
    error = 0;
    m_valid = true;
    return true;
}

bool FileIdentity::IdKnown() const
{
    return m_id.find_first_not_of('\0') != std::string::npos;
}

bool FileIdentity::SameFileAs(const FileIdentity& other) const
{
    if (!m_valid || !other.m_valid)
        return false;
    if (IdKnown() && other.IdKnown())
        return m_volume == other.m_volume && m_id == other.m_id;
    return !m_finalPath.empty() &&
           CompareStringOrdinal(m_finalPath.c_str(), -1, other.m_finalPath.c_str(), -1, TRUE) == CSTR_EQUAL;
}
