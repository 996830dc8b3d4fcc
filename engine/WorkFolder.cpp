#include "WorkFolder.h"

#include "TextFormat.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

namespace {

const wchar_t* const LockName = L"\\run.lock";

} // namespace

WorkFolder::~WorkFolder()
{
    CloseLog();
    if (m_lock)
        CloseHandle(m_lock);
}

void WorkFolder::CloseLog()
{
    if (m_log)
        CloseHandle(m_log);
    m_log = nullptr;
}

unsigned long WorkFolder::Create(const std::wstring& target)
{
    DWORD error = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        wchar_t id[32];
        std::swprintf(id, 32, L".qm%lx%x.tmp", GetCurrentProcessId(), (GetTickCount() + attempt * 7919) & 0xfff);
        std::wstring path = target + id;
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            m_path = path;
            break;
        }
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS)
            return error;
    }
    if (m_path.empty())
        return error;
    m_lock = CreateFileW((m_path + LockName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_lock == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        m_lock = nullptr;
        Remove();
        return error;
    }
    // Append-only: ffmpeg (its stderr, a handle of its own) and the engine (a line between
    // runs) both write at its end, while the engine reads it through a third handle.
    m_log = CreateFileW(LogPath().c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_log == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        m_log = nullptr;
        Remove();
        return error;
    }
    return 0;
}

bool WorkFolder::RemoveFolder(const std::wstring& path)
{
    // Only the names the engine makes: a folder holding anything else is not removed.
    static const wchar_t* const names[] = {L"\\output.mp4", L"\\ffmpeg.log", L"\\run.lock", L"\\sound.amr"};
    for (const wchar_t* name : names) {
        std::wstring file = path + name;
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(file.c_str());
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

void WorkFolder::Remove()
{
    CloseLog();
    if (m_lock)
        CloseHandle(m_lock);
    m_lock = nullptr;
    if (!m_path.empty()) {
        // A virus scanner may hold a file for a moment.
        for (int i = 0; i < 20 && !RemoveFolder(m_path) && !m_kept; ++i)
            Sleep(100);
    }
    m_path.clear();
}

std::wstring WorkFolder::Keep(const std::wstring& name)
{
    // Under a name of its own the MP4 is not one of the engine's files: neither Remove nor
    // a later run's sweep deletes it, nor the folder holding it.
    std::wstring kept = m_path + L"\\" + name;
    if (!MoveFileExW(OutputPath().c_str(), kept.c_str(), 0))
        kept = OutputPath();
    m_kept = true;
    return kept;
}

int WorkFolder::RemoveStale(const std::wstring& target)
{
    std::wstring folder = TextFormat::FolderOf(target);
    int removed = 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((target + L".qm*.tmp").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        std::wstring path = folder + found.cFileName;
        // The pattern also matches short 8.3 names: check the long one.
        std::wstring prefix = target.substr(folder.size()) + L".qm";
        std::wstring name = found.cFileName;
        if (name.size() < prefix.size() + 4 || _wcsnicmp(name.c_str(), prefix.c_str(), prefix.size()) != 0 ||
            _wcsicmp(name.c_str() + name.size() - 4, L".tmp") != 0)
            continue;
        HANDLE lock = CreateFileW((path + LockName).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (lock == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_SHARING_VIOLATION)
                continue;   // a run is using it
            // No lock at all: a run killed before it made one, or one that is making it
            // right now; only a folder unchanged for a minute is taken for stale.
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            ULARGE_INTEGER a, b;
            a.LowPart = now.dwLowDateTime;
            a.HighPart = now.dwHighDateTime;
            b.LowPart = found.ftLastWriteTime.dwLowDateTime;
            b.HighPart = found.ftLastWriteTime.dwHighDateTime;
            if (a.QuadPart < b.QuadPart || a.QuadPart - b.QuadPart < 60ULL * 10000000ULL)
                continue;
        } else {
            CloseHandle(lock);
        }
        if (RemoveFolder(path))
            ++removed;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return removed;
}

bool WorkFolder::IsEngineLog(const std::wstring& path)
{
    static const char signature[] = "\r\n===== run 1: ";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    char head[sizeof signature - 1];
    DWORD got = 0;
    bool ours = ReadFile(h, head, sizeof head, &got, nullptr) && got == sizeof head &&
                std::memcmp(head, signature, sizeof head) == 0;
    CloseHandle(h);
    return ours;
}
