// File identity, the command line, the work folder's stale-run cleanup, path forms and
// the download of an online-only source, what a source's first bytes say it is, and its
// sound written out as a stream of its own.

#include "TestKit.h"

#include "mp4/AmrTrack.h"
#include "windows/ChildProcess.h"
#include "windows/CommandLineSplitter.h"
#include "windows/ConsoleWriter.h"
#include "source/FileIdentity.h"
#include "rebuild/RecordingFolder.h"
#include "source/SourceDownload.h"
#include "source/SourceSniffer.h"
#include "windows/TextFormat.h"
#include "windows/WorkFolder.h"

#include <windows.h>

namespace {

std::wstring TempFolder(const wchar_t* name)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring path = std::wstring(base) + name;
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

void WriteFile(const std::wstring& path, const char* text)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    ::WriteFile(h, text, static_cast<DWORD>(strlen(text)), &done, nullptr);
    CloseHandle(h);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Dates a folder back an hour: the cleanup spares young folders without a lock.
void Age(const std::wstring& folder)
{
    HANDLE h = CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= 3600ULL * 10000000ULL;
    FILETIME old = {t.LowPart, t.HighPart};
    SetFileTime(h, &old, &old, &old);
    CloseHandle(h);
}

// A download that starts, then stops.
DWORD WINAPI SendFirstBytes(void* pipe)
{
    ConnectNamedPipe(pipe, nullptr);
    DWORD done = 0;
    ::WriteFile(pipe, "first bytes", 11, &done, nullptr);
    return 0;
}

} // namespace

TEST_CASE(identity_sees_one_file_in_any_spelling)
{
    std::wstring dir = TempFolder(L"qmconvert identity test");
    std::wstring file = dir + L"\\Recording long name.ksm";
    std::wstring other = dir + L"\\other.ksm";
    WriteFile(file, "a");
    WriteFile(other, "a");
    unsigned long error = 0;
    FileIdentity a, upper, dotted, shortName, b;
    REQUIRE(a.Read(file, error));
    CHECK(upper.Read(dir + L"\\RECORDING LONG NAME.KSM", error) && upper.SameFileAs(a));
    CHECK(dotted.Read(dir + L"\\.\\sub\\..\\Recording long name.ksm", error) && dotted.SameFileAs(a));
    wchar_t shortPath[MAX_PATH];
    DWORD n = GetShortPathNameW(file.c_str(), shortPath, MAX_PATH);
    REQUIRE(n > 0 && n < MAX_PATH);
    CHECK(file != shortPath);
    CHECK(shortName.Read(shortPath, error) && shortName.SameFileAs(a));
    CHECK(b.Read(other, error) && !b.SameFileAs(a));
    FileIdentity missing;
    CHECK(!missing.Read(dir + L"\\missing.ksm", error));
    CHECK(!missing.SameFileAs(missing));

    // File systems that give every file an id of zeros: the final paths decide.
    const std::string zeros(16, '\0');
    FileIdentity z1 = FileIdentity::Of(7, zeros, L"\\\\?\\D:\\rec\\cam.ksm");
    CHECK(!z1.SameFileAs(FileIdentity::Of(7, zeros, L"\\\\?\\D:\\rec\\cam.mp4")));
    CHECK(z1.SameFileAs(FileIdentity::Of(7, zeros, L"\\\\?\\D:\\REC\\Cam.ksm")));
    CHECK(!FileIdentity::Of(7, "a", L"x").SameFileAs(FileIdentity::Of(8, "a", L"x")));
    DeleteFileW(file.c_str());
    DeleteFileW(other.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST_CASE(command_line_splits_like_the_runtime_and_quoting_round_trips)
{
    std::vector<std::wstring> args =
        CommandLineSplitter::Arguments(L"\"C:\\Program Files\\q\\qmconvert.exe\" \"C:\\rec & (1)\\a b.ksm\"  "
                                       L"C:\\out.mp4 \"\" \"a\\\\\"");
    REQUIRE(args.size() == 4);
    CHECK(args[0] == L"C:\\rec & (1)\\a b.ksm");
    CHECK(args[1] == L"C:\\out.mp4");
    CHECK(args[2].empty());
    CHECK(args[3] == L"a\\");
    for (const wchar_t* s : {L"plain", L"with space", L"C:\\dir with space\\", L"quote\"inside", L"", L"\\\\server\\share\\x y"}) {
        std::vector<std::wstring> back = CommandLineSplitter::Arguments(L"prog " + ChildProcess::Quote(s));
        CHECK(back.size() == 1 && back[0] == s);
    }
}

TEST_CASE(work_folder_of_a_killed_run_goes_and_a_live_one_stays)
{
    std::wstring dir = TempFolder(L"qmconvert work test");
    std::wstring target = dir + L"\\out.mp4";
    // A killed run: folder, lock and output left, nobody holds the lock.
    std::wstring stale = target + L".qm1234.tmp";
    CreateDirectoryW(stale.c_str(), nullptr);
    WriteFile(stale + L"\\run.lock", "");
    WriteFile(stale + L"\\output.mp4", "partial");
    WriteFile(stale + L"\\rebuilt.mp4", "a copy of a recording's data, as large");
    // A user's folder of a similar name with other content stays.
    std::wstring foreign = target + L".qmnotes.tmp";
    CreateDirectoryW(foreign.c_str(), nullptr);
    WriteFile(foreign + L"\\notes.txt", "mine");

    WorkFolder live;
    REQUIRE(live.Create(target) == 0);
    CHECK(Exists(live.Path() + L"\\run.lock"));
    // Old enough that only its held lock keeps it.
    Age(live.Path());
    Age(foreign);
    // A run killed before it made its lock.
    std::wstring noLock = target + L".qm99.tmp";
    CreateDirectoryW(noLock.c_str(), nullptr);
    Age(noLock);
    CHECK_EQ(WorkFolder::RemoveStale(target), 2);
    CHECK(!Exists(stale));
    CHECK(!Exists(noLock));
    live.CloseLog();   // a delete of an open file takes effect only now
    CHECK(Exists(live.LogPath()));
    CHECK(Exists(foreign + L"\\notes.txt"));
    std::wstring livePath = live.Path();
    live.Remove();
    CHECK(!Exists(livePath));

    // A target name of 251 characters still gets a work folder, and the sweep finds it. An
    // MP4 that could not be placed stays in it, also through later sweeps; the user's name is
    // never one of the engine's.
    std::wstring longTarget = dir + L"\\" + std::wstring(247, L'n') + L".mp4";
    std::wstring longPath;
    {
        WorkFolder longOne;
        REQUIRE(longOne.Create(longTarget) == 0);
        CHECK(longOne.NamedPath(L"Output.mp4") != longOne.OutputPath());
        longPath = longOne.Path();
        WriteFile(longOne.OutputPath(), "finished");
        longOne.KeepOutput();
        longOne.Remove();
    }
    CHECK(Exists(longPath + L"\\output.mp4"));
    Age(longPath);
    CHECK_EQ(WorkFolder::RemoveStale(longTarget), 0);
    CHECK(Exists(longPath + L"\\output.mp4"));
    DeleteFileW((longPath + L"\\output.mp4").c_str());
    RemoveDirectoryW(longPath.c_str());

    // A file another program holds past the clean-up's tries keeps the folder's lock, so the
    // next run's sweep takes the folder at once when it is free.
    std::wstring heldPath;
    HANDLE scanner = INVALID_HANDLE_VALUE;
    {
        WorkFolder held;
        REQUIRE(held.Create(target) == 0);
        heldPath = held.Path();
        WriteFile(held.OutputPath(), "finished");
        scanner = CreateFileW(held.OutputPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
        held.Remove();
    }
    CHECK(Exists(heldPath + L"\\run.lock"));
    CloseHandle(scanner);
    CHECK_EQ(WorkFolder::RemoveStale(target), 1);
    CHECK(!Exists(heldPath));

    // Each attempt writes an MP4 of its own: one a scanner still holds is no obstacle to the
    // next, and the clean-up takes them all.
    {
        WorkFolder attempts;
        REQUIRE(attempts.Create(target) == 0);
        heldPath = attempts.Path();
        WriteFile(attempts.OutputPath(), "first attempt");
        scanner = CreateFileW(attempts.OutputPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
        std::wstring first = attempts.OutputPath();
        attempts.NextOutput();
        CHECK(attempts.OutputPath() != first);
        HANDLE second = CreateFileW(attempts.OutputPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        CHECK(second != INVALID_HANDLE_VALUE);
        CloseHandle(second);
        CloseHandle(scanner);
        attempts.Remove();
    }
    CHECK(!Exists(heldPath));

    DeleteFileW((foreign + L"\\notes.txt").c_str());
    RemoveDirectoryW(foreign.c_str());
    RemoveDirectoryW(dir.c_str());
}

std::string Utf8(const std::wstring& text)
{
    return TextFormat::WideToUtf8(text);
}

TEST_CASE(files_kept_online_only_or_leading_elsewhere_are_not_opened)
{
    // A cloud folder's placeholders (opening one downloads it) and links to elsewhere are no
    // finished recordings to read; they are counted, so the reason can say so.
    CHECK(RecordingFolder::HereAsItIs(FILE_ATTRIBUTE_NORMAL));
    CHECK(RecordingFolder::HereAsItIs(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    for (unsigned long away : {0x00400000ul /* recall on data access */, 0x00040000ul /* recall on open */,
                               static_cast<unsigned long>(FILE_ATTRIBUTE_OFFLINE),
                               static_cast<unsigned long>(FILE_ATTRIBUTE_REPARSE_POINT)})
        CHECK(!RecordingFolder::HereAsItIs(FILE_ATTRIBUTE_ARCHIVE | away));
    std::wstring dir = TempFolder(L"qmconvert neighbours test");
    std::string big(2048, 'x');
    for (const wchar_t* name : {L"\\GH010001.MP4", L"\\GH010002.MP4", L"\\GH010003.MP4"})
        WriteFile(dir + name, big.c_str());
    bool offlineKept = SetFileAttributesW((dir + L"\\GH010002.MP4").c_str(), FILE_ATTRIBUTE_OFFLINE) &&
                       (GetFileAttributesW((dir + L"\\GH010002.MP4").c_str()) & FILE_ATTRIBUTE_OFFLINE);
    Neighbours n = RecordingFolder::Candidates(dir + L"\\GH010003.MP4", 12);
    // (Wine keeps no such attribute: there both are read.)
    CHECK_EQ(n.paths.size(), static_cast<size_t>(offlineKept ? 1 : 2));
    CHECK_EQ(n.notOpened, static_cast<size_t>(offlineKept ? 1 : 0));
    SetFileAttributesW((dir + L"\\GH010002.MP4").c_str(), FILE_ATTRIBUTE_NORMAL);
    for (const wchar_t* name : {L"\\GH010001.MP4", L"\\GH010002.MP4", L"\\GH010003.MP4"})
        DeleteFileW((dir + name).c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST_CASE(long_path_forms_round_trip)
{
    CHECK_EQ(Utf8(TextFormat::ExtendedPath(L"C:\\rec\\cam.ksm")), "\\\\?\\C:\\rec\\cam.ksm");
    CHECK_EQ(Utf8(TextFormat::ExtendedPath(L"\\\\nas\\video\\cam.ksm")), "\\\\?\\UNC\\nas\\video\\cam.ksm");
    CHECK_EQ(Utf8(TextFormat::ExtendedPath(L"\\\\?\\C:\\x")), "\\\\?\\C:\\x");
    CHECK_EQ(Utf8(TextFormat::ExtendedPath(L"\\\\.\\pipe\\x")), "\\\\.\\pipe\\x");
    for (const wchar_t* p : {L"C:\\rec\\cam.ksm", L"\\\\nas\\video\\cam.ksm", L"Z:\\"})
        CHECK_EQ(Utf8(TextFormat::PlainPath(TextFormat::ExtendedPath(p))), Utf8(p));
    CHECK_EQ(Utf8(TextFormat::PlainPath(L"\\\\?\\Volume{1}\\x")), "\\\\?\\Volume{1}\\x");
}

TEST_CASE(online_only_source_is_read_through_with_its_own_stall_limit_and_stop)
{
    CHECK(SourceDownload::OnlineOnly(0x00400000 | FILE_ATTRIBUTE_ARCHIVE));   // OneDrive: online only
    CHECK(SourceDownload::OnlineOnly(0x00040000));
    CHECK(!SourceDownload::OnlineOnly(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY | 0x00080000));   // pinned

    std::wstring dir = TempFolder(L"qmconvert download test");
    std::wstring file = dir + L"\\cam.ksm";
    std::string data(3 << 20, 'x');
    WriteFile(file, data.c_str());
    long long last = -1, size = -1;
    CHECK_EQ(SourceDownload::Fetch(file, 5000, [&](long long bytes, long long total) {
                 last = bytes;
                 size = total;
                 return true;
             }),
             0ul);
    CHECK_EQ(size, static_cast<long long>(data.size()));
    CHECK_EQ(last, size);

    // A source that sends nothing yet (a cloud client that hands out the file once it has
    // all of it) is no stall: it is read until asked to stop, then stopped at once - also
    // when asked at any moment of a read.
    const wchar_t* pipe = L"\\\\.\\pipe\\qmconvert-download-test";
    for (DWORD wait : {1500u, 0u, 7u, 30u, 55u, 120u, 260u}) {
        HANDLE server = CreateNamedPipeW(pipe, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
        REQUIRE(server != INVALID_HANDLE_VALUE);
        DWORD start = GetTickCount();
        CHECK_EQ(SourceDownload::Fetch(pipe, 300, [&](long long, long long) { return GetTickCount() - start < wait; }),
                 static_cast<unsigned long>(ERROR_CANCELLED));
        CHECK(GetTickCount() - start < wait + 1000);
        CloseHandle(server);
    }
    // Data that starts and then stops coming is a stall.
    HANDLE server = CreateNamedPipeW(pipe, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    REQUIRE(server != INVALID_HANDLE_VALUE);
    HANDLE sender = CreateThread(nullptr, 0, SendFirstBytes, server, 0, nullptr);
    DWORD start = GetTickCount();
    CHECK_EQ(SourceDownload::Fetch(pipe, 500, [&](long long, long long) { return GetTickCount() - start < 20000; }),
             static_cast<unsigned long>(WAIT_TIMEOUT));
    CHECK(GetTickCount() - start < 4000);
    WaitForSingleObject(sender, 5000);
    CloseHandle(sender);
    CloseHandle(server);
    DeleteFileW(file.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST_CASE(playlists_and_text_are_no_recordings_however_they_start)
{
    const std::string playlist = "#EXTM3U\r\n#EXTINF:2.0,\r\n..\\..\\other\\cam2.ts\r\n#EXT-X-ENDLIST\r\n";
    const std::string refused = "the file is a playlist that names other files, not a recording";
    CHECK_EQ(SourceSniffer::RefusalOf(playlist), refused);
    CHECK_EQ(SourceSniffer::RefusalOf("\xEF\xBB\xBF \r\nffconcat version 1.0\nfile 'cam2.ts'\n"), refused);
    CHECK_EQ(SourceSniffer::RefusalOf("file 'a.ts'\nfile 'b.ts'\n"), refused);
    // Behind an ID3 tag, as an MP3 starts: 10 header bytes, a syncsafe size of 20.
    std::string id3("ID3\x04\x00\x00\x00\x00\x00\x14", 10);
    CHECK_EQ(SourceSniffer::RefusalOf(id3 + std::string(20, 'T') + playlist), refused);
    CHECK_EQ(SourceSniffer::RefusalOf("Meeting notes\r\nnothing here\r\n"), "the file is text, not a recording");

    // Recordings: binary from the start, AMR's text line, multipart JPEG's headers.
    CHECK_EQ(SourceSniffer::RefusalOf(std::string("\x00\x00\x00\x01\x67\x42", 6)), "");
    CHECK_EQ(SourceSniffer::RefusalOf(std::string("#!AMR\n||||||||", 14)), "");
    CHECK_EQ(SourceSniffer::RefusalOf("--myboundary\r\nContent-Type: image/jpeg\r\n\r\n\xFF\xD8\xFF\xE0"), "");
    CHECK_EQ(SourceSniffer::RefusalOf(id3 + std::string(20, 'T') + "\xFF\xFB\x90\x64\x00"), "");

    // A tag larger than one look is stepped over in the file itself.
    std::wstring path = TempFolder(L"qm-sniff") + L"\\tagged.ksm";
    std::string big("ID3\x04\x00\x00\x00\x01\x00\x00", 10);   // 16384 bytes of tag
    std::string data = big + std::string(16384, 'P') + playlist;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &done, nullptr);
    CloseHandle(h);
    unsigned long error = 0;
    CHECK_EQ(SourceSniffer::Refusal(path, error), refused);
    CHECK_EQ(error, 0UL);
    DeleteFileW(path.c_str());
}

TEST_CASE(sound_written_apart_keeps_every_whole_sample_of_a_cut_file)
{
    std::wstring dir = TempFolder(L"qmconvert sound test");
    std::wstring source = dir + L"\\cut.3gp", raw = dir + L"\\sound.amr";
    WriteFile(source, "AAAABBBBCC");   // the third sample is cut off
    DeleteFileW(raw.c_str());
    std::vector<SampleSpan> samples = {{0, 4}, {4, 4}, {8, 4}};
    REQUIRE(AmrTrack::WriteRaw(source, samples, false, raw));
    HANDLE h = CreateFileW(raw.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char got[32] = {};
    DWORD n = 0;
    ReadFile(h, got, sizeof got, &n, nullptr);
    CloseHandle(h);
    CHECK_EQ(std::string(got, n), std::string("#!AMR\nAAAABBBB"));
    // Nothing is written over.
    CHECK(!AmrTrack::WriteRaw(source, samples, false, raw));
    DeleteFileW(raw.c_str());
    DeleteFileW(source.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST_CASE(a_window_that_let_go_of_the_output_pipe_is_gone)
{
    // The reader's end disconnected (ERROR_PIPE_NOT_CONNECTED) counts as gone, as a closed one does.
    const wchar_t* name = L"\\\\.\\pipe\\qmconvert-reader-test";
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    REQUIRE(server != INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(client != INVALID_HANDLE_VALUE);
    HANDLE stdOut = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, client);
    ConsoleWriter console;
    SetStdHandle(STD_OUTPUT_HANDLE, stdOut);
    CHECK(!console.ReaderGone());
    DisconnectNamedPipe(server);
    CHECK(console.ReaderGone());
    CloseHandle(client);
    CloseHandle(server);
}
