// A child program (the stand-in ffmpeg): its output and exit code, its end when told, and
// the memory it takes, seen by the job and by the watch.

#include "TestKit.h"

#include "windows/ChildProcess.h"
#include "windows/MemoryWatch.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

// The child's standard error, a file of the test's own.
struct ErrorFile
{
    std::wstring path;
    HANDLE h;
    explicit ErrorFile(const wchar_t* name)
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path = std::wstring(base) + name;
        h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        CREATE_ALWAYS, 0, nullptr);
    }
    ~ErrorFile()
    {
        CloseHandle(h);
        DeleteFileW(path.c_str());
    }
    std::string Text() const
    {
        HANDLE r = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        char buffer[4096];
        DWORD got = 0;
        ReadFile(r, buffer, sizeof buffer, &got, nullptr);
        CloseHandle(r);
        return std::string(buffer, got);
    }
};

bool Start(ChildProcess& child, const char* mode, const std::vector<std::wstring>& args, const ErrorFile& err,
           unsigned long long memoryLimit = 0)
{
    SetEnvironmentVariableA("QM_FAKE_MODE", mode);
    const std::string exe = ENGINE_FAKE_FFMPEG;
    unsigned long error = 0;
    bool started = child.Start(std::wstring(exe.begin(), exe.end()), args, err.h, memoryLimit, error);
    SetEnvironmentVariableA("QM_FAKE_MODE", nullptr);
    return started;
}

// What an ended child wrote to its output; false while the pipe stays open after its end (a
// write end left behind in this process would keep a reader waiting for ever).
bool ReadToEnd(HANDLE pipe, std::string& text)
{
    for (int idle = 0; idle < 40;) {
        DWORD available = 0, got = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE;
        char buffer[4096];
        if (available > 0 && ReadFile(pipe, buffer, sizeof buffer, &got, nullptr)) {
            text.append(buffer, got);
            continue;
        }
        ++idle;
        Sleep(50);
    }
    return false;
}

} // namespace

TEST_CASE(a_child_ends_with_its_code_or_when_told)
{
    // Reading through to the null muxer: its progress on the pipe, its report in the file, 0.
    ErrorFile err(L"qm child err.txt");
    ChildProcess done;
    REQUIRE(Start(done, "", {L"-"}, err));
    CHECK_EQ(WaitForSingleObject(done.Process(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    std::string out;
    CHECK(ReadToEnd(done.StdOut(), out));
    CHECK(out.find("progress=end") != std::string::npos);
    CHECK(err.Text().find("ffmpeg version") != std::string::npos);
    CHECK_EQ(done.ExitCode(), 0ul);
    CHECK(!done.MemoryLimitHit());   // the job told of its start and end, nothing more

    ChildProcess failed;
    REQUIRE(Start(failed, "diskfull", {L"out.mp4"}, err));
    CHECK_EQ(WaitForSingleObject(failed.Process(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CHECK_EQ(failed.ExitCode(), 1ul);

    ChildProcess hung;
    REQUIRE(Start(hung, "hang", {L"out.mp4"}, err));
    CHECK_EQ(WaitForSingleObject(hung.Process(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
    CHECK_EQ(hung.ExitCode(), static_cast<unsigned long>(STILL_ACTIVE));
    hung.Terminate();
    CHECK_EQ(WaitForSingleObject(hung.Process(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    CHECK(hung.ExitCode() != 0ul && hung.ExitCode() != static_cast<unsigned long>(STILL_ACTIVE));
}

TEST_CASE(a_child_taking_memory_is_seen_and_bounded)
{
    // The stand-in takes 64 MB at a time. Where the system enforces the job's limit, it is
    // refused memory there and ends as ffmpeg does then, the job saying why; elsewhere (Wine)
    // the watch sees it grow past the limit, look after look, and the job claims nothing.
    const unsigned long long limit = 256ULL << 20;
    ErrorFile err(L"qm child hog.txt");
    ChildProcess hog;
    REQUIRE(Start(hog, "hog", {L"out.mp4"}, err, limit));
    MemoryWatch watch(hog.Process());
    unsigned long long first = 0;
    bool ended = false;
    for (int i = 0; i < 400 && !ended && watch.Peak() <= limit; ++i) {
        ended = WaitForSingleObject(hog.Process(), 50) == WAIT_OBJECT_0;
        if (first == 0)
            first = watch.Peak();
    }
    hog.Terminate();
    CHECK_EQ(WaitForSingleObject(hog.Process(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    if (ended) {
        CHECK_EQ(hog.ExitCode(), 1ul);
        CHECK(hog.MemoryLimitHit());
        CHECK(hog.PeakMemory() > limit / 2 && hog.PeakMemory() <= limit);
        CHECK(watch.Peak() <= limit);
    } else {
        CHECK(first > 0 && first < limit / 2);
        CHECK(watch.Peak() > limit);
        CHECK(!hog.MemoryLimitHit());
    }
}
