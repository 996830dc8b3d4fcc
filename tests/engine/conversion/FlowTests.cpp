// The engine as qm.bat runs it, with a stand-in ffmpeg.exe: what reaches the user and
// what is left in the target's folder when writing fails, a result falls short, ffmpeg
// hangs or the target cannot be replaced.

#include "TestKit.h"

#include "mp4/Mp4Inspector.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring Wide(const char* s)
{
    std::wstring w;
    while (*s)
        w += static_cast<wchar_t>(*s++);
    return w;
}

struct Flow
{
    std::wstring root;      // a fresh folder: prog\ (engine, ffmpeg.exe) and the recordings
    std::wstring source;
    std::wstring target;

    explicit Flow(const wchar_t* name)
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        root = std::wstring(base) + name;
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\prog").c_str(), nullptr);
        CopyFileW(Wide(ENGINE_QMCONVERT).c_str(), (root + L"\\prog\\qmconvert.exe").c_str(), FALSE);
        CopyFileW(Wide(ENGINE_FAKE_FFMPEG).c_str(), (root + L"\\prog\\ffmpeg.exe").c_str(), FALSE);
        source = root + L"\\cam.ksm";
        target = root + L"\\cam.mp4";
        Write(source, "\x47\x40\x11\x10 recording bytes");
        Write(target, "earlier conversion");
        SetEnvironmentVariableA("QM_FAKE_MP4", ENGINE_TEST_DATA "/av.mp4");
        SetEnvironmentVariableW(L"QM_FAKE_COUNT", (root + L"\\runs.txt").c_str());
        SetEnvironmentVariableA("QMCONVERT_STALL_SECONDS", nullptr);
    }

    ~Flow()
    {
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        for (const std::wstring& name : Names())
            DeleteFileW((root + L"\\" + name).c_str());
        DeleteFileW((root + L"\\prog\\qmconvert.exe").c_str());
        DeleteFileW((root + L"\\prog\\ffmpeg.exe").c_str());
        RemoveDirectoryW((root + L"\\prog").c_str());
        RemoveDirectoryW(root.c_str());
    }

    static void Write(const std::wstring& path, const char* text)
    {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD done = 0;
        WriteFile(h, text, static_cast<DWORD>(strlen(text)), &done, nullptr);
        CloseHandle(h);
    }

    static std::string Read(const std::wstring& path)
    {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        std::string data;
        char buf[4096];
        DWORD got = 0;
        while (h != INVALID_HANDLE_VALUE && ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
            data.append(buf, got);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return data;
    }

    // Files and folders in root, "prog" and the run counter left out.
    std::vector<std::wstring> Names() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((root + L"\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do {
            std::wstring n = found.cFileName;
            if (n != L"." && n != L".." && n != L"prog")
                names.push_back(n);
        } while (FindNextFileW(find, &found));
        FindClose(find);
        return names;
    }

    bool Has(const wchar_t* name) const
    {
        for (const std::wstring& n : Names())
            if (n == name)
                return true;
        return false;
    }

    // Runs the engine; returns its exit code, output in text. closeAfterMs: the reader of
    // its output goes away then, as a closed window's does.
    DWORD Run(const char* mode, std::string& text, DWORD closeAfterMs = 0)
    {
        SetEnvironmentVariableA("QM_FAKE_MODE", mode);
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE r = nullptr, w = nullptr;
        CreatePipe(&r, &w, &sa, 1 << 16);   // the whole output fits: no reading while it runs
        SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW si;
        ZeroMemory(&si, sizeof si);
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = w;
        si.hStdError = w;
        std::wstring exe = root + L"\\prog\\qmconvert.exe";
        std::wstring cmd = L"\"" + exe + L"\" \"" + source + L"\" \"" + target + L"\"";
        PROCESS_INFORMATION pi;
        // A job ends the engine and its ffmpeg should the engine hang.
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        ZeroMemory(&limits, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                            nullptr, &si, &pi)) {
            CloseHandle(job);
            return 999;
        }
        AssignProcessToJobObject(job, pi.hProcess);
        ResumeThread(pi.hThread);
        CloseHandle(w);
        if (closeAfterMs > 0 && WaitForSingleObject(pi.hProcess, closeAfterMs) == WAIT_TIMEOUT) {
            CloseHandle(r);
            r = nullptr;
        }
        DWORD code = 998;   // still running after a minute
        if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(job);
        char buf[4096];
        DWORD got = 0, avail = 0;
        text.clear();
        while (r && PeekNamedPipe(r, nullptr, 0, nullptr, &avail, nullptr) && avail > 0 &&
               ReadFile(r, buf, sizeof buf, &got, nullptr) && got > 0)
            text.append(buf, got);
        if (r)
            CloseHandle(r);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        return code;
    }

    int Runs() const
    {
        std::string counted = Read(root + L"\\runs.txt");
        int n = 0;
        for (char c : counted)
            n += c == '\n';
        return n;
    }
};

std::string LastLine(const std::string& text)
{
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r'))
        t.pop_back();
    size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

// The sample MP4 with the first NAL length of its last picture running past the picture, as
// the stand-in's copy: the engine's own reading finds it, so ffmpeg's decode decides.
void CopiesIllFramed()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring mp4 = std::wstring(base) + L"qm-illframed.mp4";
    CopyFileW(Wide(ENGINE_TEST_DATA "/av.mp4").c_str(), mp4.c_str(), FALSE);
    Mp4Inspector index;
    index.KeepSamplesOf(0);
    if (index.InspectFile(mp4) && !index.Samples().empty()) {
        HANDLE h = CreateFileW(mp4.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(index.Samples().back().offset);
        const char tooLong[4] = {0, '\xFF', '\xFF', '\xFF'};
        DWORD done = 0;
        SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
        WriteFile(h, tooLong, 4, &done, nullptr);
        CloseHandle(h);
    }
    SetEnvironmentVariableW(L"QM_FAKE_MP4", mp4.c_str());
}

} // namespace

TEST_CASE(flow_remux_replaces_the_target_and_leaves_nothing_else)
{
    if (!ENGINE_TEST_HAVE_SAMPLES)
        return;
    Flow f(L"qmconvert flow ok");
    std::string out;
    CHECK_EQ(f.Run("remux", out), 0ul);
    CHECK(Contains(out, "remuxed without quality loss"));
    std::string target(f.target.begin(), f.target.end());
    CHECK_EQ(LastLine(out), "Conversion succeeded: \"" + target + "\"");
    CHECK_EQ(f.Runs(), 1);   // the remux: its well framed ends need no decode
    CHECK_EQ(Flow::Read(f.target).size(), Flow::Read(Wide(ENGINE_TEST_DATA "/av.mp4")).size());
    CHECK_EQ(f.Names().size(), 3u);   // source, MP4, the stand-in's run counter
}

TEST_CASE(flow_write_error_stops_at_once_and_keeps_the_log)
{
    Flow f(L"qmconvert flow full");
    std::string out;
    CHECK_EQ(f.Run("diskfull", out), 4ul);
    CHECK_EQ(f.Runs(), 1);   // no lossy attempts after a write error
    CHECK(Contains(LastLine(out), "the drive is full"));
    CHECK_EQ(Flow::Read(f.target), "earlier conversion");
    CHECK(f.Has(L"cam.mp4.log"));
    CHECK(Contains(out, "cam.mp4.log\""));
    CHECK_EQ(f.Names().size(), 4u);   // source, old target, log, counter: no work folder
}

TEST_CASE(flow_copy_that_decodes_worse_than_the_recording_at_its_end_is_not_kept)
{
    if (!ENGINE_TEST_HAVE_SAMPLES)
        return;
    Flow broken(L"qmconvert flow badend");
    CopiesIllFramed();
    std::string out;
    CHECK_EQ(broken.Run("badend", out), 0ul);
    CHECK(Contains(out, "does not decode cleanly at its start or end (Invalid NAL unit size"));
    CHECK(Contains(out, "re-encod"));
    // The recording's own damage is carried as it is: the copy is kept.
    Flow damaged(L"qmconvert flow badboth");
    CopiesIllFramed();
    CHECK_EQ(damaged.Run("badboth", out), 0ul);
    CHECK(Contains(out, "remuxed without quality loss"));
    CHECK_EQ(damaged.Runs(), 3);
}

TEST_CASE(flow_only_a_decoders_complaint_about_the_ends_costs_the_copy)
{
    // Two overlapping one-second windows of a shorter clip make the null muxer complain.
    if (!ENGINE_TEST_HAVE_SAMPLES)
        return;
    Flow shortClip(L"qmconvert flow muxerend");
    CopiesIllFramed();
    std::string out;
    CHECK_EQ(shortClip.Run("muxerend", out), 0ul);
    CHECK(Contains(out, "remuxed without quality loss"));
    CHECK_EQ(shortClip.Runs(), 2);
}

namespace {

// A virus scanner's look at each new MP4: as soon as the first attempt's is closed by its
// writer, it is opened without sharing writes or deletion and held for two seconds.
DWORD WINAPI ScanFirstOutput(void* param)
{
    const std::wstring& target = *static_cast<const std::wstring*>(param);
    const std::wstring folder = target.substr(0, target.find_last_of(L'\\') + 1);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(5)) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((target + L".qm*.tmp").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            continue;
        FindClose(find);
        HANDLE h = CreateFileW((folder + found.cFileName + L"\\output.mp4").c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            Sleep(2000);
            CloseHandle(h);
            return 0;
        }
    }
    return 1;
}

} // namespace

TEST_CASE(flow_a_scanner_holding_an_attempts_mp4_does_not_stop_the_next)
{
    // The copy fails its check; the re-encode that follows writes while a scanner still holds
    // the copy's file: it succeeds, and nothing is left once the scanner lets go.
    if (!ENGINE_TEST_HAVE_SAMPLES)
        return;
    Flow f(L"qmconvert flow scanned");
    CopiesIllFramed();
    HANDLE scanner = CreateThread(nullptr, 0, ScanFirstOutput, &f.target, 0, nullptr);
    std::string out;
    CHECK_EQ(f.Run("badend", out), 0ul);
    CHECK(Contains(out, "re-encod"));
    DWORD scanned = 1;
    WaitForSingleObject(scanner, 70000);
    GetExitCodeThread(scanner, &scanned);
    CloseHandle(scanner);
    CHECK_EQ(scanned, 0ul);
    CHECK_EQ(f.Names().size(), 3u);   // source, MP4, the stand-in's run counter
}

TEST_CASE(flow_result_shorter_than_the_recording_is_never_a_success)
{
    if (!ENGINE_TEST_HAVE_SAMPLES)
        return;
    Flow f(L"qmconvert flow short");
    std::string out;
    CHECK_EQ(f.Run("short", out), 5ul);
    CHECK(Contains(out, "failed its check"));
    CHECK(!Contains(out, "succeeded"));
    CHECK_EQ(Flow::Read(f.target), "earlier conversion");
    CHECK(f.Runs() >= 2);   // every tier tried
}

TEST_CASE(flow_refusal_retry_and_cancel)
{
    // A picture no camera writes is refused from the report alone: one run, nothing kept.
    Flow huge(L"qmconvert flow huge");
    std::string out;
    CHECK_EQ(huge.Run("huge", out), 2ul);
    CHECK(Contains(LastLine(out), "declares pictures of 20000x20000"));
    CHECK_EQ(huge.Runs(), 1);
    CHECK_EQ(huge.Names().size(), 3u);   // source, old target, counter
    // A clock that runs backwards is mended by the same way once more with its jumps closed.
    if (ENGINE_TEST_HAVE_SAMPLES) {
        Flow clock(L"qmconvert flow clock");
        CHECK_EQ(clock.Run("clockonce", out), 0ul);
        CHECK(Contains(out, "again with the recording's clock jumps closed"));
        CHECK(Contains(out, "remuxed without quality loss"));
        CHECK_EQ(clock.Runs(), 2);   // the failed copy, the copy again
    }
    // The window goes away while ffmpeg works: ffmpeg is stopped, nothing of the run stays.
    Flow closed(L"qmconvert flow closed");
    DWORD start = GetTickCount();
    CHECK_EQ(closed.Run("hang", out, 1500), 5ul);
    CHECK(GetTickCount() - start < 20000);
    CHECK_EQ(Flow::Read(closed.target), "earlier conversion");
    CHECK_EQ(closed.Names().size(), 3u);
}

TEST_CASE(flow_hanging_ffmpeg_is_stopped)
{
    Flow f(L"qmconvert flow hang");
    SetEnvironmentVariableA("QMCONVERT_STALL_SECONDS", "2");
    std::string out;
    DWORD start = GetTickCount();
    CHECK_EQ(f.Run("hang", out), 5ul);
    CHECK(GetTickCount() - start < 30000);
    CHECK(Contains(LastLine(out), "no progress for 2 seconds"));
    CHECK_EQ(Flow::Read(f.target), "earlier conversion");
}

TEST_CASE(flow_read_only_target_is_kept_and_the_mp4_goes_beside_it)
{
    if (!ENGINE_TEST_HAVE_SAMPLES)
        return;
    Flow f(L"qmconvert flow readonly");
    SetFileAttributesW(f.target.c_str(), FILE_ATTRIBUTE_READONLY);
    std::string out;
    CHECK_EQ(f.Run("remux", out), 4ul);
    CHECK_EQ(Flow::Read(f.target), "earlier conversion");
    CHECK(f.Has(L"cam (new).mp4"));
    std::string kept(f.root.begin(), f.root.end());
    CHECK(Contains(LastLine(out), ("\"" + kept + "\\cam (new).mp4\"").c_str()));
    DeleteFileW((f.root + L"\\cam (new).mp4").c_str());
}

TEST_CASE(flow_ffmpeg_is_stopped_at_the_memory_and_output_bounds)
{
    // A stranger's file can make ffmpeg take gigabytes of memory or write for days: it is
    // stopped with a plain reason, no other way is tried and the older MP4 stays.
    struct Case
    {
        const char* mode;
        const char* reason;
    } cases[] = {{"hog", "than the 1536 MB it may take"}, {"bomb", "the MP4 grew past"}};
    for (const Case& c : cases) {
        Flow f(L"qmconvert flow bound");
        std::string out;
        DWORD start = GetTickCount();
        CHECK_EQ(f.Run(c.mode, out), 5ul);
        CHECK(GetTickCount() - start < 20000);
        CHECK(Contains(LastLine(out), c.reason));
        CHECK_EQ(f.Runs(), 1);
        CHECK_EQ(Flow::Read(f.target), "earlier conversion");
        CHECK_EQ(f.Names().size(), 4u);   // source, old target, log, counter: no work folder
    }
}
