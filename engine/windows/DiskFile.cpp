#include "windows/DiskFile.h"

#include "windows/TextFormat.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// One system read or write moves at most this much (Win32 takes a 32-bit count).
const size_t MostAtOnce = 1u << 30;

} // namespace

DiskFile::~DiskFile()
{
    Close();
}

#ifdef _WIN32

bool DiskFile::Failed()
{
    m_error = GetLastError();
    return false;
}

bool DiskFile::IsOpen() const
{
    return static_cast<bool>(m_handle);
}

void DiskFile::Close()
{
    m_handle.Reset();
}

bool DiskFile::OpenRead(const std::wstring& path, bool sequential)
{
    Close();
    m_handle.Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, sequential ? FILE_FLAG_SEQUENTIAL_SCAN : FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    LARGE_INTEGER size;
    if (!IsOpen() || !GetFileSizeEx(m_handle.Get(), &size))
        return Failed();
    m_size = static_cast<uint64_t>(size.QuadPart);
    return true;
}

bool DiskFile::Create(const std::wstring& path, bool replace)
{
    Close();
    m_size = m_end = 0;
    // A scanner may hold or map a file of the engine's the moment it was closed (the trial
    // rebuild's, say): denied (5), shared (32) or mapped (1224) is believed after 3 s only.
    // Read and delete are shared, so a scanner's look at the new file never fails either.
    for (int tries = 0;; ++tries) {
        m_handle.Reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   replace ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (IsOpen())
            return true;
        DWORD error = GetLastError();
        if (tries >= 30 ||
            (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION && error != ERROR_USER_MAPPED_FILE))
            return Failed();
        Sleep(100);
    }
}

bool DiskFile::Read(uint64_t at, void* to, size_t n, size_t& got)
{
    got = 0;
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(at);
    DWORD done = 0;
    if (!SetFilePointerEx(m_handle.Get(), pos, nullptr, FILE_BEGIN) ||
        !ReadFile(m_handle.Get(), to, static_cast<DWORD>(n < MostAtOnce ? n : MostAtOnce), &done, nullptr))
        return Failed();
    got = done;
    return true;
}

bool DiskFile::WriteAt(uint64_t at, const void* data, size_t n)
{
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(at);
    if (!SetFilePointerEx(m_handle.Get(), pos, nullptr, FILE_BEGIN))
        return Failed();
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        DWORD piece = static_cast<DWORD>(n < MostAtOnce ? n : MostAtOnce), done = 0;
        if (!WriteFile(m_handle.Get(), p, piece, &done, nullptr))
            return Failed();
        if (done != piece) {
            m_error = ERROR_DISK_FULL;
            return false;
        }
        p += piece;
        n -= piece;
    }
    return true;
}

bool DiskFile::CutAt(uint64_t at)
{
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(at);
    if (!SetFilePointerEx(m_handle.Get(), pos, nullptr, FILE_BEGIN) || !SetEndOfFile(m_handle.Get()))
        return Failed();
    m_end = at;
    return true;
}

#else   // the parsers' own builds on Linux (fuzzing)

bool DiskFile::Failed()
{
    m_error = static_cast<unsigned long>(errno);
    return false;
}

bool DiskFile::IsOpen() const
{
    return m_fd >= 0;
}

void DiskFile::Close()
{
    if (IsOpen())
        close(m_fd);
    m_fd = -1;
}

bool DiskFile::OpenRead(const std::wstring& path, bool)
{
    Close();
    m_fd = open(TextFormat::WideToUtf8(path).c_str(), O_RDONLY);
    off_t size = IsOpen() ? lseek(m_fd, 0, SEEK_END) : -1;
    if (size < 0)
        return Failed();
    m_size = static_cast<uint64_t>(size);
    return true;
}

bool DiskFile::Create(const std::wstring& path, bool replace)
{
    Close();
    m_fd = open(TextFormat::WideToUtf8(path).c_str(), O_WRONLY | O_CREAT | (replace ? O_TRUNC : O_EXCL), 0644);
    m_size = m_end = 0;
    return IsOpen() || Failed();
}

bool DiskFile::Read(uint64_t at, void* to, size_t n, size_t& got)
{
    ssize_t done = pread(m_fd, to, n < MostAtOnce ? n : MostAtOnce, static_cast<off_t>(at));
    got = done > 0 ? static_cast<size_t>(done) : 0;
    return done >= 0 || Failed();
}

bool DiskFile::WriteAt(uint64_t at, const void* data, size_t n)
{
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t done = pwrite(m_fd, p, n < MostAtOnce ? n : MostAtOnce, static_cast<off_t>(at));
        if (done <= 0)
            return Failed();
        p += done;
        at += static_cast<uint64_t>(done);
        n -= static_cast<size_t>(done);
    }
    return true;
}

bool DiskFile::CutAt(uint64_t at)
{
    if (ftruncate(m_fd, static_cast<off_t>(at)) != 0)
        return Failed();
    m_end = at;
    return true;
}

#endif

bool DiskFile::Write(const void* data, size_t n)
{
    if (!WriteAt(m_end, data, n))
        return false;
    m_end += n;
    return true;
}

bool DiskFile::Patch(uint64_t at, const void* data, size_t n)
{
    return at <= m_end && n <= m_end - at && WriteAt(at, data, n);
}
