#include "rebuild/RecordingFolder.h"

#include "windows/UniqueHandle.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

namespace {

std::wstring Lower(std::wstring s)
{
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(towlower(c));
    return s;
}

std::wstring Extension(const std::wstring& name)
{
    size_t dot = name.find_last_of(L".\\/");
    return dot != std::wstring::npos && name[dot] == L'.' ? Lower(name.substr(dot)) : std::wstring();
}

} // namespace

bool RecordingFolder::HereAsItIs(unsigned long attributes)
{
    // Older headers lack the cloud files' attributes.
    const unsigned long recallOnOpen = 0x00040000, recallOnDataAccess = 0x00400000;
    return !(attributes & (FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_REPARSE_POINT | recallOnOpen | recallOnDataAccess));
}

Neighbours RecordingFolder::Candidates(const std::wstring& recording, size_t most)
{
    size_t slash = recording.find_last_of(L"\\/");
    std::wstring folder = recording.substr(0, slash + 1), name = Lower(recording.substr(slash + 1));
    std::wstring kind = Extension(name);
    WIN32_FILE_ATTRIBUTE_DATA self;
    Neighbours neighbours;
    if (kind.empty() || !GetFileAttributesExW(recording.c_str(), GetFileExInfoStandard, &self))
        return neighbours;
    ULARGE_INTEGER own;
    own.LowPart = self.ftLastWriteTime.dwLowDateTime;
    own.HighPart = self.ftLastWriteTime.dwHighDateTime;
    struct Candidate
    {
        std::wstring path;
        size_t shared;
        unsigned long long distance;
    };
    std::vector<Candidate> found;
    WIN32_FIND_DATAW f;
    UniqueFindHandle h(
        FindFirstFileExW((folder + L"*").c_str(), FindExInfoBasic, &f, FindExSearchNameMatch, nullptr, 0));
    if (!h)
        return neighbours;
    // A folder of a recorder's export can hold thousands: only so many names are weighed.
    for (int seen = 0; seen < 20000; ++seen) {
        std::wstring other = Lower(f.cFileName);
        if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && other != name && Extension(other) == kind &&
            (f.nFileSizeHigh > 0 || f.nFileSizeLow > 1024) && !HereAsItIs(f.dwFileAttributes)) {
            ++neighbours.notOpened;
        } else if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && other != name && Extension(other) == kind &&
                   (f.nFileSizeHigh > 0 || f.nFileSizeLow > 1024)) {
            size_t shared = 0;
            while (shared < name.size() && shared < other.size() && name[shared] == other[shared])
                ++shared;
            ULARGE_INTEGER t;
            t.LowPart = f.ftLastWriteTime.dwLowDateTime;
            t.HighPart = f.ftLastWriteTime.dwHighDateTime;
            found.push_back(Candidate{folder + f.cFileName, shared,
                                      t.QuadPart > own.QuadPart ? t.QuadPart - own.QuadPart : own.QuadPart - t.QuadPart});
        }
        if (!FindNextFileW(h.Get(), &f))
            break;
    }
    h.Reset();
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        return a.shared != b.shared ? a.shared > b.shared : a.distance < b.distance;
    });
    for (size_t i = 0; i < found.size() && i < most; ++i)
        neighbours.paths.push_back(found[i].path);
    return neighbours;
}
