#include "conversion/Placement.h"

#include "windows/TextFormat.h"
#include "windows/UniqueHandle.h"

#include <windows.h>

namespace {

// Another program opened the file without sharing its deletion (a virus scanner, an
// indexer, a sync client): no rename until it lets go.
bool HeldByAnotherProgram(const std::wstring& path)
{
    if (UniqueHandle(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)))
        return false;
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Whether the volume holding `path` has hard links (NTFS does; FAT32 and exFAT, what camera
// cards use, do not). QMCONVERT_NO_HARD_LINKS=1 answers no, as a card would.
bool VolumeHasHardLinks(const std::wstring& path)
{
    wchar_t seam[4];
    DWORD n = GetEnvironmentVariableW(L"QMCONVERT_NO_HARD_LINKS", seam, 4);
    if (n == 1 && seam[0] == L'1')
        return false;
    UniqueHandle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        return true;   // not known: the link is tried, and a copy made if it fails
    DWORD flags = 0;
    BOOL known = GetVolumeInformationByHandleW(h.Get(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0);
    return !known || (flags & FILE_SUPPORTS_HARD_LINKS) != 0;
}

} // namespace

Placement::Placement(WorkFolder& work, const std::wstring& target, unsigned long heldWaitMs, Console& console)
    : m_work(work), m_target(target), m_heldWaitMs(heldWaitMs), m_console(console)
{
}

std::string Placement::Place()
{
    std::wstring named = m_work.NamedPath(m_target.substr(TextFormat::FolderOf(m_target).size()));
    DWORD error = MoveWhenFree(m_work.OutputPath(), named, 0);
    if (error != 0 && HeldByAnotherProgram(m_work.OutputPath())) {
        // Held past the wait: the MP4 takes a name of its own, which no clean-up or later sweep
        // deletes, without a rename: a second link to the same data, or on a card (no hard
        // links) a copy. Only when neither can be made does it stay under the engine's name,
        // and the folder is then kept for it.
        std::wstring where = named;
        if (!SecondName(m_work.OutputPath(), named)) {
            m_work.KeepOutput();
            where = m_work.OutputPath();
        }
        return "the new MP4 is held by another program (a virus scanner?) for more than " +
               std::to_string(m_heldWaitMs / 1000) + " s; it stays in \"" + TextFormat::PathUtf8(where) +
               "\" (move it from there when that program lets go)";
    }
    if (error != 0 && !CopyFileW(m_work.OutputPath().c_str(), named.c_str(), TRUE))
        named = m_work.OutputPath();   // placed from where ffmpeg wrote it
    error = ReplaceTarget(named);
    if (error == 0)
        return std::string();
    std::string why = "the target could not be replaced (" + TextFormat::SystemMessage(error) + ")";
    std::wstring kept = KeepBesideTarget(named);
    if (!kept.empty())
        return why + "; the new MP4 was kept as \"" + TextFormat::PathUtf8(kept) + "\"";
    m_work.KeepOutput();
    return why + ", nor could the new MP4 be put beside it; it stays in \"" + TextFormat::PathUtf8(named) + "\"";
}

unsigned long Placement::MoveWhenFree(const std::wstring& from, const std::wstring& to, unsigned long flags)
{
    // A scanner may hold the new MP4 for half a minute; a player holds the target for as long
    // as it plays, so that is not waited out.
    const DWORD start = GetTickCount();
    DWORD said = 0;
    for (;;) {
        if (MoveFileExW(from.c_str(), to.c_str(), flags))
            return 0;
        DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION)
            return error;
        const DWORD waited = GetTickCount() - start;
        const bool held = HeldByAnotherProgram(from);
        if (waited > (held ? m_heldWaitMs : 10000))
            return error;
        if (held && waited / 5000 > said) {
            said = waited / 5000;
            m_console.Line("Waiting: the new MP4 is held by another program (a virus scanner?) - " + std::to_string(said * 5) +
                  " s");
        }
        m_console.StopIfGone();
        Sleep(250);
    }
}

bool Placement::SecondName(const std::wstring& mp4, const std::wstring& name)
{
    if (VolumeHasHardLinks(mp4) && CreateHardLinkW(name.c_str(), mp4.c_str(), nullptr))
        return true;
    return CopyFileW(mp4.c_str(), name.c_str(), TRUE) != 0;
}

unsigned long Placement::ReplaceTarget(const std::wstring& mp4)
{
    // A read-only target is one the user wants kept (Windows refuses to replace it; Wine
    // would not).
    DWORD attr = GetFileAttributesW(m_target.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY))
        return ERROR_FILE_READ_ONLY;
    return MoveWhenFree(mp4, m_target, MOVEFILE_REPLACE_EXISTING);
}

std::wstring Placement::KeepBesideTarget(const std::wstring& mp4)
{
    std::wstring stem = m_target, ext;
    size_t dot = m_target.find_last_of(L'.');
    size_t slash = m_target.find_last_of(L"\\/");
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) {
        stem = m_target.substr(0, dot);
        ext = m_target.substr(dot);
    }
    for (int i = 1; i < 100; ++i) {
        std::wstring name = stem + (i == 1 ? std::wstring(L" (new)") : L" (new " + std::to_wstring(i) + L")") + ext;
        // No REPLACE_EXISTING: an existing file of that name is never touched.
        if (MoveFileExW(mp4.c_str(), name.c_str(), 0))
            return name;
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            break;
    }
    return std::wstring();
}
