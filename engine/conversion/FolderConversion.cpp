#include "conversion/FolderConversion.h"

#include "conversion/Conversion.h"
#include "conversion/Preflight.h"
#include "conversion/Verdict.h"
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

int FolderConversion::Run(const std::wstring& folderArg)
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
    size_t converted = 0, upToDate = 0;
    std::vector<std::string> failed;
    for (const std::wstring& recording : recordings) {
        std::wstring target = recording.substr(0, recording.size() - 4) + L".mp4";
        if (UpToDate(recording, target)) {
            m_console.Line("Up to date: \"" + Utf8(target) + "\"");
            ++upToDate;
            continue;
        }
        // As a single conversion takes them: plain paths, which it makes long ones itself.
        Conversion one(m_console, GetTickCount());
        int code = one.Run({TextFormat::PlainPath(recording), TextFormat::PlainPath(target)});
        if (m_console.ReaderGone())
            return static_cast<int>(ExitCode::NotConverted);   // stopped: the recording in progress as it was
        if (code == 0)
            ++converted;
        else
            failed.push_back(Utf8(recording.substr(folder.size() + 1)));
    }
    std::string counts = std::to_string(converted) + " converted, " + std::to_string(upToDate) +
                         " already up to date, " + std::to_string(failed.size()) + " failed";
    m_console.Line("Folder done: " + counts);
    if (failed.empty()) {
        m_console.Line("Conversion succeeded: every recording in \"" + Utf8(folder) + "\" (" + counts + ")");
        return static_cast<int>(ExitCode::Converted);
    }
    std::string names;
    for (size_t i = 0; i < failed.size() && i < 5; ++i)
        names += (i ? ", " : "") + failed[i];
    m_console.Line("Conversion failed: " + std::to_string(failed.size()) + " of " + std::to_string(recordings.size()) +
                   " recordings could not be converted (" + names + (failed.size() > 5 ? ", ..." : "") +
                   "; their reasons are above)");
    return static_cast<int>(ExitCode::NotConverted);
}
