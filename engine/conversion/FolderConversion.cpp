#include "conversion/FolderConversion.h"

#include "conversion/Conversion.h"
#include "conversion/Preflight.h"
#include "conversion/Verdict.h"
#include "join/ChapterGroups.h"
#include "mp4/Mp4Inspector.h"
#include "windows/Console.h"
#include "windows/TextFormat.h"

#include <windows.h>

#include <algorithm>

namespace {

const int MostDepth = 32;
const ULONGLONG FatTimeSlack = 2 * 10000000ULL;   // FAT keeps times to two seconds

std::string Utf8(const std::wstring& path)
{
    return TextFormat::PathUtf8(path);
}

bool EndsWith(const std::wstring& name, const wchar_t* end)
{
    size_t n = wcslen(end);
    return name.size() >= n && _wcsicmp(name.c_str() + name.size() - n, end) == 0;
}

// The engine's own work folders ("<target>.qm<id>.tmp"), the recycle bin, the card's index.
bool PassedBy(const WIN32_FIND_DATAW& d)
{
    std::wstring name = d.cFileName;
    if (name == L"." || name == L"..")
        return true;
    if (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return true;   // a link may lead back up or to another drive
    const DWORD hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if ((d.dwFileAttributes & hiddenSystem) == hiddenSystem)
        return true;
    return (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && EndsWith(name, L".tmp") &&
           name.find(L".qm") != std::wstring::npos;
}

ULONGLONG LastWrite(const std::wstring& path, bool& found)
{
    WIN32_FILE_ATTRIBUTE_DATA a;
    found = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a) != 0 &&
            !(a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return found ? (static_cast<ULONGLONG>(a.ftLastWriteTime.dwHighDateTime) << 32) | a.ftLastWriteTime.dwLowDateTime : 0;
}

} // namespace

std::vector<std::wstring> FolderConversion::Recordings(const std::wstring& folder, size_t most, bool& more)
{
    std::vector<std::wstring> found;
    more = false;
    std::vector<std::pair<std::wstring, int>> folders(1, {folder, 0});
    while (!folders.empty()) {
        std::pair<std::wstring, int> here = folders.back();
        folders.pop_back();
        std::wstring base = here.first;
        if (!base.empty() && base.back() != L'\\')
            base += L'\\';
        WIN32_FIND_DATAW d;
        HANDLE find = FindFirstFileExW((base + L"*").c_str(), FindExInfoBasic, &d, FindExSearchNameMatch, nullptr, 0);
        if (find == INVALID_HANDLE_VALUE)
            continue;
        std::vector<std::wstring> files, subfolders;
        do {
            if (PassedBy(d))
                continue;
            if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                subfolders.push_back(base + d.cFileName);
            else if (EndsWith(d.cFileName, L".ksm"))
                files.push_back(base + d.cFileName);
        } while (FindNextFileW(find, &d));
        FindClose(find);
        std::sort(files.begin(), files.end());
        std::sort(subfolders.rbegin(), subfolders.rend());   // taken from the back: in name order
        for (const std::wstring& f : files) {
            if (found.size() == most) {
                more = true;
                return found;
            }
            found.push_back(f);
        }
        if (here.second < MostDepth)
            for (const std::wstring& s : subfolders)
                folders.push_back({s, here.second + 1});
    }
    return found;
}

bool FolderConversion::UpToDate(const std::wstring& recording, const std::wstring& mp4)
{
    bool haveRecording = false, haveMp4 = false;
    ULONGLONG recorded = LastWrite(recording, haveRecording), converted = LastWrite(mp4, haveMp4);
    if (!haveRecording || !haveMp4 || converted + FatTimeSlack < recorded)
        return false;
    Mp4Inspector index;
    if (!index.InspectFile(mp4))
        return false;
    for (const Mp4Track& t : index.Summary().tracks)
        if ((t.handler == "vide" || t.handler == "soun") && t.samples > 0)
            return true;
    return false;
}

int FolderConversion::Run(const std::wstring& folderArg, bool joinSegments)
{
    const std::wstring folder = TextFormat::ExtendedPath(Preflight::FullPath(folderArg));
    bool more = false;
    std::vector<std::wstring> recordings = Recordings(folder, MostRecordings, more);
    m_console.Line("Folder: \"" + Utf8(folder) + "\", " + std::to_string(recordings.size()) + " recording(s)" +
                   (more ? " (the first " + std::to_string(MostRecordings) + "; convert the folder again for the rest)"
                         : ""));
    if (recordings.empty()) {
        m_console.Line("Conversion failed: the folder holds no recording (.ksm), in it or in its sub-folders");
        return static_cast<int>(ExitCode::SourceUnusable);
    }
    // Names below the folder, as the summary shows them ("<folder>\" given or not).
    const size_t below = folder.size() + (folder.back() == L'\\' ? 0 : 1);
    size_t converted = 0, upToDate = 0, joined = 0, chapters = 0;
    std::vector<std::string> failed;
    for (const std::vector<std::wstring>& unit : ChapterGroups::Units(recordings, joinSegments, m_console)) {
        const std::wstring& first = unit[0];
        std::wstring target = first.substr(0, first.size() - 4) + L".mp4";
        bool current = true;
        for (const std::wstring& part : unit)
            current = current && UpToDate(part, target);
        if (current) {
            m_console.Line("Up to date: \"" + Utf8(target) + "\"");
            upToDate += unit.size();
            continue;
        }
        std::string tooFull = RoomFor(unit, target);
        if (!tooFull.empty()) {
            m_console.Line("Not converted: \"" + Utf8(first) + "\": " + tooFull);
            failed.push_back(Utf8(first.substr(below)));
            continue;
        }
        // As a single conversion takes them: plain paths, which it makes long ones itself.
        Conversion one(m_console, GetTickCount());
        one.JoinChapters(std::vector<std::wstring>(unit.begin() + 1, unit.end()));
        int code = one.Run({TextFormat::PlainPath(first), TextFormat::PlainPath(target)});
        if (m_console.ReaderGone())
            return static_cast<int>(ExitCode::NotConverted);   // stopped: the recording in progress as it was
        if (code != 0) {
            failed.push_back(Utf8(first.substr(below)));
            continue;
        }
        ++converted;
        if (unit.size() > 1) {
            ++joined;
            chapters += unit.size();
        }
    }
    std::string counts = std::to_string(converted) + " converted" +
                         (joined ? " (" + std::to_string(joined) + " joined from " + std::to_string(chapters) +
                                       " chapters)"
                                 : std::string()) +
                         ", " + std::to_string(upToDate) + " already up to date, " + std::to_string(failed.size()) +
                         " failed";
    m_console.Line("Folder done: " + counts);
    if (failed.empty()) {
        m_console.Line("Conversion succeeded: every recording in \"" + Utf8(folder) + "\" (" + counts + ")");
        return static_cast<int>(ExitCode::Converted);
    }
    std::string names;
    for (size_t i = 0; i < failed.size() && i < 5; ++i)
        names += (i ? ", " : "") + failed[i];
    m_console.Line("Conversion failed: " + std::to_string(failed.size()) + " of the folder's recordings could not be "
                   "converted (" + names + (failed.size() > 5 ? ", ..." : "") + "; their reasons are above)");
    return static_cast<int>(ExitCode::NotConverted);
}

std::string FolderConversion::RoomFor(const std::vector<std::wstring>& unit, const std::wstring& target)
{
    // A copy is about as large as the recording; joined chapters are written twice (the
    // join, then the MP4); a re-encode is bounded later, as in a single conversion.
    unsigned long long need = 64ULL << 20;
    for (const std::wstring& part : unit) {
        WIN32_FILE_ATTRIBUTE_DATA a;
        if (GetFileAttributesExW(part.c_str(), GetFileExInfoStandard, &a))
            need += ((static_cast<unsigned long long>(a.nFileSizeHigh) << 32) | a.nFileSizeLow) *
                    (unit.size() > 1 ? 2 : 1);
    }
    ULARGE_INTEGER available;
    std::wstring folder = target.substr(0, target.find_last_of(L'\\') + 1);
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) || available.QuadPart >= need)
        return std::string();
    return "its drive has " + std::to_string(available.QuadPart >> 20) + " MB free, and its MP4 needs about " +
           std::to_string(need >> 20) + " MB; make room and convert the folder again";
}
