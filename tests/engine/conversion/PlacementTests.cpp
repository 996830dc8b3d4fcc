// Where the new MP4 ends up: in the target's place, beside a target the user keeps, or under a
// name of its own while another program holds it; and a wait nobody watches any more ends.

#include "TestKit.h"

#include "conversion/Placement.h"
#include "windows/Console.h"
#include "windows/WorkFolder.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

struct FakeConsole : Console
{
    std::vector<std::string> lines;
    void Line(const std::string& utf8) override { lines.push_back(utf8); }
    bool ReaderGone() override { return false; }
};

void Write(const std::wstring& path, const std::string& text)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    CloseHandle(h);
}

std::string Read(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "(none)";
    char buffer[256];
    DWORD got = 0;
    ReadFile(h, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(h);
    return std::string(buffer, got);
}

std::string Utf8(const std::wstring& s)
{
    return std::string(s.begin(), s.end());   // the test's paths are ASCII
}

// A folder with "cam.mp4", an earlier conversion, and a run's work folder beside it holding
// the new MP4.
struct Scene
{
    std::wstring root, target, folder;
    WorkFolder work;
    explicit Scene(const wchar_t* name)
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        root = std::wstring(base) + name;
        CreateDirectoryW(root.c_str(), nullptr);
        target = root + L"\\cam.mp4";
        Write(target, "earlier conversion");
        work.Create(target);
        folder = work.Path();
        Write(work.OutputPath(), "new mp4");
    }
    ~Scene()
    {
        work.Remove();
        for (const wchar_t* name : {L"\\cam.mp4", L"\\output.mp4"})
            DeleteFileW((folder + name).c_str());
        RemoveDirectoryW(folder.c_str());
        for (const wchar_t* name : {L"\\cam.mp4", L"\\cam (new).mp4", L"\\cam (new 2).mp4"}) {
            SetFileAttributesW((root + name).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((root + name).c_str());
        }
        RemoveDirectoryW(root.c_str());
    }
    // Another program (a virus scanner) reads the new MP4, sharing all but its deletion.
    HANDLE Hold() const
    {
        return CreateFileW(work.OutputPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    }
};

} // namespace

TEST_CASE(placement_replaces_the_target_or_keeps_the_new_mp4_beside_it)
{
    {
        Scene s(L"qm placement replace");
        FakeConsole console;
        CHECK_EQ(Placement(s.work, s.target, 2000, console).Place(), std::string());
        CHECK_EQ(Read(s.target), std::string("new mp4"));
        s.work.Remove();
        CHECK(GetFileAttributesW(s.folder.c_str()) == INVALID_FILE_ATTRIBUTES);
    }
    {
        // A read-only target stays; the new MP4 goes beside it, next to an older one of that name.
        Scene s(L"qm placement readonly");
        Write(s.root + L"\\cam (new).mp4", "kept before");
        SetFileAttributesW(s.target.c_str(), FILE_ATTRIBUTE_READONLY);
        FakeConsole console;
        std::string why = Placement(s.work, s.target, 2000, console).Place();
        CHECK(why.find("could not be replaced") != std::string::npos);
        CHECK(why.find("\"" + Utf8(s.root) + "\\cam (new 2).mp4\"") != std::string::npos);
        CHECK_EQ(Read(s.target), std::string("earlier conversion"));
        CHECK_EQ(Read(s.root + L"\\cam (new).mp4"), std::string("kept before"));
        CHECK_EQ(Read(s.root + L"\\cam (new 2).mp4"), std::string("new mp4"));
    }
}

TEST_CASE(placement_gives_a_held_mp4_a_name_of_its_own)
{
    // Held past the wait: the MP4 gets its target's name in the work folder, a hard link or on
    // a card a copy, which the clean-up leaves; the target stays as it was.
    for (const char* noLinks : {"", "1"}) {
        SetEnvironmentVariableA("QMCONVERT_NO_HARD_LINKS", *noLinks ? noLinks : nullptr);
        Scene s(L"qm placement held");
        HANDLE holder = s.Hold();
        FakeConsole console;
        std::string why = Placement(s.work, s.target, 1000, console).Place();
        const std::wstring named = s.work.Path() + L"\\cam.mp4";
        CHECK(why.find("held by another program") != std::string::npos);
        CHECK(why.find("\"" + Utf8(named) + "\"") != std::string::npos);
        CHECK_EQ(Read(named), std::string("new mp4"));
        // (Wine's volumes do not say they have hard links: a copy there.)
        BY_HANDLE_FILE_INFORMATION info = {};
        DWORD volume = 0;
        HANDLE h = CreateFileW(named.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        GetFileInformationByHandle(h, &info);
        GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &volume, nullptr, 0);
        CloseHandle(h);
        CHECK_EQ(info.nNumberOfLinks, !*noLinks && (volume & FILE_SUPPORTS_HARD_LINKS) ? 2ul : 1ul);
        CloseHandle(holder);
        s.work.Remove();
        CHECK_EQ(Read(named), std::string("new mp4"));
        CHECK_EQ(Read(s.target), std::string("earlier conversion"));
    }
    SetEnvironmentVariableA("QMCONVERT_NO_HARD_LINKS", nullptr);

    // No second name can be made (the name is taken): the MP4 stays where ffmpeg wrote it,
    // and the folder is kept for it.
    Scene s(L"qm placement stuck");
    const std::wstring named = s.work.Path() + L"\\cam.mp4";
    Write(named, "in the way");
    const std::wstring output = s.work.OutputPath();
    HANDLE holder = s.Hold();
    FakeConsole console;
    std::string why = Placement(s.work, s.target, 1000, console).Place();
    CHECK(why.find("\"" + Utf8(output) + "\"") != std::string::npos);
    CloseHandle(holder);
    s.work.Remove();
    CHECK_EQ(Read(output), std::string("new mp4"));
    CHECK_EQ(Read(named), std::string("in the way"));
}

TEST_CASE(placement_waits_for_a_held_mp4_while_somebody_reads)
{
    // Every five seconds of the wait are told; the wait ends once nobody reads any more.
    Scene s(L"qm placement cancel");
    HANDLE holder = s.Hold();
    struct GoesAway : FakeConsole
    {
        bool ReaderGone() override { return !lines.empty(); }
    } console;
    bool cancelled = false;
    const DWORD start = GetTickCount();
    try {
        Placement(s.work, s.target, 30000, console).Place();
    } catch (const Cancelled&) {
        cancelled = true;
    }
    CHECK(cancelled);
    CHECK(GetTickCount() - start < 15000);
    CHECK_EQ(console.lines.size(), 1u);
    CHECK(!console.lines.empty() && console.lines[0].find("held by another program") != std::string::npos &&
          console.lines[0].find("5 s") != std::string::npos);
    CloseHandle(holder);
    CHECK_EQ(Read(s.target), std::string("earlier conversion"));
    CHECK_EQ(Read(s.work.OutputPath()), std::string("new mp4"));
}
