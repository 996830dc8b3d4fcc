// What a folder run takes from a card: its recordings among thousands of other files, within
// bounds, and which of them a camera's naming makes chapters of one recording.

#include "TestKit.h"

#include "conversion/FolderConversion.h"
#include "join/ChapterGroups.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

void Touch(const std::wstring& path)
{
    CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

std::wstring TempFolder()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring folder = std::wstring(base) + L"qm-card-" + std::to_wstring(GetTickCount());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW d;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &d);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = d.cFileName, path = folder + L"\\" + name;
            if (name == L"." || name == L"..")
                continue;
            if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &d));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

TEST_CASE(a_card_of_thousands_of_files_gives_its_recordings_in_order_and_within_bounds)
{
    std::wstring card = TempFolder();
    for (int i = 0; i < 3000; ++i)
        Touch(card + L"\\IMG_" + std::to_wstring(10000 + i) + L".jpg");
    std::vector<std::wstring> expected;
    for (const wchar_t* sub : {L"\\B", L"\\A"}) {
        CreateDirectoryW((card + sub).c_str(), nullptr);
        for (int i = 12; i >= 0; --i) {
            std::wstring name = card + sub + L"\\CLIP" + std::to_wstring(10 + i) + L".KSM";
            Touch(name);
        }
    }
    for (const wchar_t* sub : {L"\\A", L"\\B"})
        for (int i = 0; i <= 12; ++i)
            expected.push_back(card + sub + L"\\CLIP" + std::to_wstring(10 + i) + L".KSM");
    // The engine's own work folder and a nest deeper than any card's are passed by.
    CreateDirectoryW((card + L"\\A\\x.mp4.qm1f.tmp").c_str(), nullptr);
    Touch(card + L"\\A\\x.mp4.qm1f.tmp\\joined.ksm");
    std::wstring deep = card;
    for (int level = 0; level < 40; ++level) {
        deep += L"\\d";
        CreateDirectoryW(deep.c_str(), nullptr);
    }
    Touch(deep + L"\\lost.ksm");

    bool more = true;
    CHECK(FolderConversion::Recordings(card, 100, more) == expected);
    CHECK(!more);
    CHECK_EQ(FolderConversion::Recordings(card, 20, more).size(), 20u);
    CHECK(more);
    RemoveTree(card);
}

TEST_CASE(chapters_are_told_by_the_names_cameras_give_them)
{
    struct Case
    {
        const wchar_t* stem;
        int chapter;
        const wchar_t* recording;
    } cases[] = {
        {L"GH010123", 1, L"GH0123"}, {L"gh020123", 2, L"GH0123"}, {L"GX130045", 13, L"GX0045"},
        {L"GOPR0123", 1, L"GOPR0123"}, {L"GP010123", 2, L"GOPR0123"}, {L"GP020123", 3, L"GOPR0123"},
        {L"GH000123", 0, L""}, {L"GH01012", 0, L""}, {L"DJI_0001", 0, L""}, {L"G1010123", 0, L""},
    };
    for (const Case& c : cases) {
        std::wstring recording;
        CHECK_EQ(ChapterGroups::ChapterOf(c.stem, recording), c.chapter);
        if (c.chapter)
            CHECK(recording == c.recording);
    }
}
