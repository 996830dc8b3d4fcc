#include "windows/WorkFolder.h"

#include "windows/TextFormat.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

const wchar_t* const LockName = L"\\run.lock";
const size_t MaxIdLength = 18;   // ".qm" + 8 + 3 hex digits + ".tmp"
const int MostOutputs = 16;

std::wstring OutputNameOf(int attempt)
{
    return attempt <= 1 ? std::wstring(L"output.mp4") : L"output " + std::to_wstring(attempt) + L".mp4";
}

// What the engine writes in a work folder; nothing else in it is ever deleted. Each attempt's
// MP4 first; the lock comes last: it goes only once the rest has gone.
const std::vector<std::wstring>& EngineNames()
{
    static const std::vector<std::wstring> names = [] {
        std::vector<std::wstring> n;
        for (int attempt = 1; attempt <= MostOutputs; ++attempt)
            n.push_back(OutputNameOf(attempt));
        for (const wchar_t* other : {L"ffmpeg.log", L"sound.amr", L"rebuilt.mp4", L"joined.mp4", L"run.lock"})
            n.push_back(other);
        return n;
    }();
    return names;
}

} // namespace

void WorkFolder::CloseLog()
{
    m_log.Reset();
}

unsigned long WorkFolder::Create(const std::wstring& target)
{
    DWORD error = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        wchar_t id[32];
        std::swprintf(id, 32, L".qm%lx%x.tmp", GetCurrentProcessId(), (GetTickCount() + attempt * 7919) & 0xfff);
        std::wstring path = Stem(target) + id;
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
    m_lock.Reset(CreateFileW((m_path + LockName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_lock) {
        error = GetLastError();
        Remove();
        return error;
    }
    // Append-only: ffmpeg (its stderr, a handle of its own) and the engine (a line between
    // runs) both write at its end, while the engine reads it through a third handle.
    m_log.Reset(CreateFileW(LogPath().c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_log) {
        error = GetLastError();
        Remove();
        return error;
    }
    return 0;
}

std::wstring WorkFolder::Stem(const std::wstring& target)
{
    size_t slash = target.find_last_of(L"\\/");
    size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    size_t keep = 255 - MaxIdLength;
    if (target.size() - nameStart <= keep)
        return target;
    size_t cut = nameStart + keep;
    if (target[cut - 1] >= 0xD800 && target[cut - 1] <= 0xDBFF)
        --cut;   // never half a character
    return target.substr(0, cut);
}

bool WorkFolder::RemoveFolder(const std::wstring& path, bool keepOutput)
{
    // A folder without its lock holds an MP4 a run kept there (see RemoveStale): the lock goes
    // once everything else of the engine's is gone, or when the output is to be kept.
    bool othersGone = true;
    for (size_t i = 0; i < EngineNames().size(); ++i) {
        const std::wstring& name = EngineNames()[i];
        if (keepOutput && i < MostOutputs)
            continue;
        bool lock = i + 1 == EngineNames().size();
        if (lock && !othersGone && !keepOutput)
            break;
        std::wstring file = path + L"\\" + name;
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            othersGone = false;
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

void WorkFolder::Remove()
{
    CloseLog();
    m_lock.Reset();
    if (!m_path.empty()) {
        // A virus scanner may hold a file for a moment.
        for (int i = 0; i < 20 && !RemoveFolder(m_path, m_kept) && !m_kept; ++i)
            Sleep(100);
    }
    m_path.clear();
}

std::wstring WorkFolder::OutputName() const
{
    return OutputNameOf(m_attempt);
}

void WorkFolder::NextOutput()
{
    // A scanner looks at each file the moment it is closed, and may hold or map it then: the
    // next attempt writes a file of its own instead of that one.
    if (m_attempt >= MostOutputs)
        return;
    DeleteFileW(OutputPath().c_str());
    ++m_attempt;
}

std::wstring WorkFolder::NamedPath(const std::wstring& name) const
{
    for (const std::wstring& own : EngineNames())
        if (_wcsicmp(name.c_str(), own.c_str()) == 0)
            return m_path + L"\\converted " + name;
    return m_path + L"\\" + name;
}

int WorkFolder::RemoveStale(const std::wstring& target, unsigned long staleMs)
{
    std::wstring folder = TextFormat::FolderOf(target);
    int removed = 0;
    WIN32_FIND_DATAW found;
    const std::wstring stem = Stem(target);
    UniqueFindHandle find(FindFirstFileW((stem + L".qm*.tmp").c_str(), &found));
    if (!find)
        return 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        std::wstring path = folder + found.cFileName;
        // The pattern also matches short 8.3 names: check the long one.
        std::wstring prefix = stem.substr(folder.size()) + L".qm";
        std::wstring name = found.cFileName;
        if (name.size() < prefix.size() + 4 || _wcsnicmp(name.c_str(), prefix.c_str(), prefix.size()) != 0 ||
            _wcsicmp(name.c_str() + name.size() - 4, L".tmp") != 0)
            continue;
        UniqueHandle lock(CreateFileW((path + LockName).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        bool locked = static_cast<bool>(lock);
        if (!locked) {
            DWORD error = GetLastError();
            if (error == ERROR_SHARING_VIOLATION)
                continue;   // a run is using it
            // No lock at all: a run killed before it made one (nothing in it yet), one that
            // is making it right now, or one that ended keeping its MP4 here; only a folder
            // unchanged for a while is taken for stale, and an MP4 in it stays.
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            ULARGE_INTEGER a, b;
            a.LowPart = now.dwLowDateTime;
            a.HighPart = now.dwHighDateTime;
            b.LowPart = found.ftLastWriteTime.dwLowDateTime;
            b.HighPart = found.ftLastWriteTime.dwHighDateTime;
            if (a.QuadPart < b.QuadPart || a.QuadPart - b.QuadPart < staleMs * 10000ULL)
                continue;
        } else {
            lock.Reset();   // opened only to see that nobody holds it
        }
        if (RemoveFolder(path, !locked))
            ++removed;
    } while (FindNextFileW(find.Get(), &found));
    return removed;
}

namespace {
const char HeaderOpen[] = "\r\n===== ";
const char HeaderClose[] = " =====\r\n";
} // namespace

void WorkFolder::LogHeader(const std::string& text)
{
    if (!m_log)
        return;
    std::string line = HeaderOpen + text + HeaderClose;
    DWORD done = 0;
    WriteFile(m_log.Get(), line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
}

std::string WorkFolder::RunHeader(int run, const std::string& what)
{
    return "run " + std::to_string(run) + ": " + what;
}

bool WorkFolder::IsEngineLog(const std::wstring& path)
{
    // Run 1's header is what tells the engine's own logs from a user's file.
    const std::string signature = HeaderOpen + RunHeader(1, std::string());
    UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        return false;
    char head[32];
    DWORD got = 0;
    return ReadFile(h.Get(), head, static_cast<DWORD>(signature.size()), &got, nullptr) && got == signature.size() &&
           std::memcmp(head, signature.data(), signature.size()) == 0;
}
