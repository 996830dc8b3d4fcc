// The console redirector against the real interpreter under Wine (or Windows), with
// console_emit as the program the interpreter runs.

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "EmitPattern.h"
#include "RedirectorTestSupport.h"
#include "TestKit.h"

using TestSupport::BesideMe;
using TestSupport::PumpUntil;

namespace {

const char kEndLine[] = "\r\n<TEST INFO>: Child process ended\r\n";

std::string EmitCommand(const char* args)
{
    return "\"" + BesideMe("console_emit.exe") + "\" " + args;
}

std::string ExpectedPattern(unsigned long n)
{
    std::string s;
    s.reserve(n);
    for (unsigned long i = 0; i < n; ++i)
        s += EmitPattern::Byte(i);
    return s;
}

// The bytes between the emitter's markers, or "" while they are incomplete.
std::string Between(const std::string& output, size_t& endAt)
{
    size_t begin = output.find(EmitPattern::kBegin);
    if (begin == std::string::npos)
        return "";
    begin += sizeof EmitPattern::kBegin - 1;
    size_t end = output.find(EmitPattern::kEnd, begin);
    if (end == std::string::npos)
        return "";
    endAt = end + sizeof EmitPattern::kEnd - 1;
    return output.substr(begin, end - begin);
}

// Points the interpreter launch somewhere else for one test.
struct InterpreterOverride
{
    explicit InterpreterOverride(const char* path) { CRedirector::s_interpreterPathOverride = path; }
    ~InterpreterOverride() { CRedirector::s_interpreterPathOverride = NULL; }
};

// Opens a console whose "interpreter" is console_emit in the given EMIT_MODE.
bool OpenEmitConsole(CRedirector& r, const char* mode)
{
    const std::string emit = BesideMe("console_emit.exe");
    InterpreterOverride useEmit(emit.c_str());
    SetEnvironmentVariableA("EMIT_MODE", mode);
    const BOOL opened = r.OpenConsole();
    SetEnvironmentVariableA("EMIT_MODE", NULL);
    return opened != FALSE;
}

struct PacingOverride
{
    explicit PacingOverride(CRedirector::InputPacing pacing) { CRedirector::s_inputPacing = pacing; }
    ~PacingOverride() { CRedirector::s_inputPacing = CRedirector::PacingAuto; }
};

// Runs fn on a thread of its own; false when it has not returned within timeoutMs (the
// thread is then left behind, and the objects it uses must be too).
bool ReturnsWithin(DWORD timeoutMs, const std::function<void()>& fn)
{
    struct Call
    {
        static DWORD WINAPI Run(LPVOID p)
        {
            (*static_cast<std::function<void()>*>(p))();
            return 0;
        }
    };
    std::function<void()>* call = new std::function<void()>(fn);
    HANDLE thread = CreateThread(NULL, 0, Call::Run, call, 0, NULL);
    const bool returned = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (returned)
        delete call;
    return returned;
}

} // namespace

TEST_CASE(idle_redirector_closes_quietly_and_cannot_send)
{
    CCapturingRedirector r;
    CHECK_EQ(r.PollInterval(), 100u);
    CHECK(r.AllHandlesNull());
    r.CloseConsole();
    r.CloseConsole();
    CHECK(r.AllHandlesNull());
    CHECK(r.Chunks().empty());
    CHECK(r.Errors().empty());
    CHECK(!r.SendFormatted("%s\r\n", "echo never"));
}

TEST_CASE(large_output_arrives_exact_in_order_in_small_chunks)
{
    const unsigned long n = 1200000;
    CCapturingRedirector r;
    REQUIRE(r.OpenConsole());
    REQUIRE(r.SendFormatted("%s\r\n", EmitCommand("pattern 1200000").c_str()));
    size_t endAt = 0;
    std::string got;
    CHECK(PumpUntil([&] { got = Between(r.Output(), endAt); return !got.empty(); }, 120000));
    CHECK_EQ(got.size(), static_cast<size_t>(n));
    CHECK(got == ExpectedPattern(n));
    CHECK(r.LongestChunk() <= 255);
    CHECK(r.Chunks().size() >= n / 255);
    CHECK(r.Errors().empty());
}

TEST_CASE(nul_byte_cuts_its_chunk)
{
    CCapturingRedirector r;
    REQUIRE(r.OpenConsole());
    REQUIRE(r.SendFormatted("%s\r\n", EmitCommand("nul").c_str()));
    CHECK(PumpUntil([&] { return r.Output().find("before-abc") != std::string::npos; }, 30000));
    Sleep(300);
    const std::string out = r.Output();
    CHECK(out.find("before-abc") != std::string::npos);
    // What followed the NUL in the same chunk never reaches the handler.
    CHECK(out.find("before-abcdef") == std::string::npos);
    CHECK(out.find("def-after") == std::string::npos);
    CHECK(out.find("next-line") == std::string::npos);
}

TEST_CASE(queued_output_precedes_child_end_line)
{
    // The child writes and ends at once. Its pipe reports broken once drained unless
    // Wine's console host, given a display, still holds a copy of its output; so the end
    // line comes last, or (only under Wine) not at all.
    CCapturingRedirector r;
    REQUIRE(OpenEmitConsole(r, "pattern:300000"));
    HANDLE reader = r.DuplicateReaderHandle();
    // The reader closes the console itself when the child ends.
    CHECK(PumpUntil([&] { return r.AllHandlesNull(); }, 60000));
    CHECK_EQ(TestSupport::ThreadExitCode(reader, 5000), 0ul);
    CloseHandle(reader);

    size_t endAt = 0;
    const std::string out = r.Output();
    CHECK(Between(out, endAt) == ExpectedPattern(300000));
    if (!CRedirector::PacesInput() || out.size() > endAt)
        CHECK_EQ(out.substr(endAt), std::string(kEndLine));
    CHECK(r.Errors().empty());
}

TEST_CASE(lines_written_back_to_back_all_run)
{
    // Under Wine this is the paced path: its cmd drops lines that arrive together.
    CCapturingRedirector r;
    REQUIRE(r.OpenConsole());
    CHECK(r.SendFormatted("echo first-%d\r\n", 1));
    CHECK(r.SendFormatted("echo second-%s\r\n", "2"));
    CHECK(r.SendFormatted("%s\r\n", "echo third-3"));
    CHECK(PumpUntil([&] { return r.Output().find("third-3\r") != std::string::npos; }, 30000));
    const std::string out = r.Output();
    CHECK(out.find("first-1\r") != std::string::npos);
    CHECK(out.find("second-2\r") != std::string::npos);
}

TEST_CASE(send_formatted_writes_exactly_the_formatted_bytes)
{
    // console_emit stands in for the interpreter and reports each read in hex.
    CCapturingRedirector r;
    REQUIRE(OpenEmitConsole(r, "echo-stdin"));
    CHECK(r.SendFormatted("%s\r\n", "hi there"));
    CHECK(r.SendFormatted("cd \"%s\"\r\n", "C:\\x\\"));
    CHECK(r.SendFormatted("%s", ""));   // nothing to write, still a successful write
    CHECK(PumpUntil([&] { return r.Output().find("read:6364") != std::string::npos; }, 30000));
    const std::string out = r.Output();
    // Each line reached the child in a read of its own, with CR LF and no NUL.
    CHECK(out.find("read:6869207468657265" "0d0a\r\n") != std::string::npos);
    CHECK(out.find("read:63642022433a5c785c22" "0d0a\r\n") != std::string::npos);
    r.CloseConsole();
    CHECK(r.AllHandlesNull());
}

TEST_CASE(open_failure_reports_line_and_restores_error)
{
    const std::string missingPath = BesideMe("no-such-interpreter.exe");
    InterpreterOverride missing(missingPath.c_str());
    CCapturingRedirector r;
    const uintptr_t before = TestSupport::HighestFreshHandleSlot();
    SetLastError(0);
    CHECK(!r.OpenConsole());
    const DWORD error = GetLastError();
    CHECK_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    char expected[40];
    std::sprintf(expected, "Redirect console error: %lx\r\n", static_cast<unsigned long>(error));
    REQUIRE(r.Errors().size() == 1);
    CHECK_EQ(r.Errors()[0], std::string(expected));
    CHECK(r.Chunks().empty());
    CHECK(r.AllHandlesNull());
    CHECK(!r.SendFormatted("echo x\r\n"));
    for (int i = 0; i < 20; ++i)
        r.OpenConsole();
    CHECK_EQ(TestSupport::HighestFreshHandleSlot(), before);
}

TEST_CASE(reopening_stops_the_previous_reader_first)
{
    CCapturingRedirector r;
    REQUIRE(r.OpenConsole());
    HANDLE first = r.DuplicateReaderHandle();
    REQUIRE(r.SendFormatted("%s\r\n", EmitCommand("drip 1000 10").c_str()));
    CHECK(PumpUntil([&] { return r.Output().find("drip 3\r") != std::string::npos; }, 30000));
    REQUIRE(r.OpenConsole());
    // Stopped by request (1), neither killed (-2) nor still running.
    CHECK_EQ(TestSupport::ThreadExitCode(first, 0), 1ul);
    CloseHandle(first);
    CHECK(r.SendFormatted("echo again-%d\r\n", 7));
    CHECK(PumpUntil([&] { return r.Output().find("again-7\r") != std::string::npos; }, 30000));
    CHECK(r.Errors().empty());
}


TEST_CASE(a_reader_ending_on_its_own_never_closes_the_next_console)
{
    // The interpreter exits while the owner opens the next console at once: the old
    // reader's release must not reach the new console's handles.
    CCapturingRedirector r;
    for (int round = 0; round < 20; ++round) {
        REQUIRE(r.OpenConsole());
        REQUIRE(r.SendFormatted("exit\r\n"));
        Sleep(static_cast<DWORD>(round % 8) * 15);
        REQUIRE(r.OpenConsole());
        char marker[32];
        std::sprintf(marker, "alive-%d\r", round);
        CHECK(r.SendFormatted("echo alive-%d\r\n", round));
        CHECK(PumpUntil([&] { return r.Output().find(marker) != std::string::npos; }, 20000));
        CHECK(!r.AllHandlesNull());
    }
    CHECK(r.Errors().empty());
}

TEST_CASE(unpaced_input_keeps_no_read_end_and_every_line_arrives)
{
    // The way Windows runs: the child is parked in a read of its input while we write,
    // so we must hold no handle to that read end (Windows would queue a peek on it
    // behind the child's read). Once the child closes its input, nobody can read it.
    PacingOverride windowsWay(CRedirector::PacingNever);
    CCapturingRedirector r;
    REQUIRE(OpenEmitConsole(r, "echo-stdin"));
    const char* lines[] = {"cd /d \"C:\\x\\\"\r\n", "qm.bat \"a\" \"b\"\r\n", "close\r\n"};
    std::string sent;
    for (const char* line : lines) {
        Sleep(200);   // the child is back in its read by now
        CHECK(r.SendFormatted("%s", line));
        sent += line;
    }
    CHECK(PumpUntil([&] { return r.Output().find("stdin-closed") != std::string::npos; }, 20000));
    std::string hex;
    for (unsigned char c : sent) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    std::string received;
    const std::string out = r.Output();
    for (size_t at = out.find("read:"); at != std::string::npos; at = out.find("read:", at + 5))
        received += out.substr(at + 5, out.find("\r\n", at) - at - 5);
    CHECK_EQ(received, hex);

    // With the child's copy closed, no read end of its input is left in this process:
    // a marker written now is seen by no pipe handle here. (Wine's console host, given a
    // display, keeps a copy of its own, so the write itself may still succeed.)
    r.WriteToChildInput("marker-7351\r\n");
    int readEndsHeld = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        HANDLE h = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(h, &flags) || GetFileType(h) != FILE_TYPE_PIPE)
            continue;
        char peeked[16] = {0};
        DWORD got = 0, available = 0;
        if (PeekNamedPipe(h, peeked, 11, &got, &available, NULL) && got == 11 &&
            std::memcmp(peeked, "marker-7351", 11) == 0)
            ++readEndsHeld;
    }
    CHECK_EQ(readEndsHeld, 0);
}

TEST_CASE(a_write_the_interpreter_never_reads_ends_when_it_exits)
{
    // More than the pipe holds, to a child that reads nothing and exits after a second:
    // the write must fail then, in both ways of pacing, and the console must close.
    const CRedirector::InputPacing pacings[] = {CRedirector::PacingAlways, CRedirector::PacingNever};
    for (CRedirector::InputPacing pacing : pacings) {
        PacingOverride paced(pacing);
        CCapturingRedirector* r = new CCapturingRedirector;
        REQUIRE(OpenEmitConsole(*r, "sleep:1000"));
        const std::string big(4 << 20, 'x');
        BOOL written = TRUE;
        const bool returned = ReturnsWithin(20000, [&] {
            written = r->SendFormatted("%s", big.c_str());
            r->CloseConsole();
        });
        CHECK(returned);
        if (!returned)
            continue;   // r stays with the stuck thread
        CHECK(!written);
        CHECK(r->AllHandlesNull());
        delete r;
    }
}

namespace {
DWORD g_slowReleaseThread = 0;
void SlowReleaseOnReader()
{
    if (GetCurrentThreadId() == g_slowReleaseThread)
        Sleep(7000);
}
} // namespace

TEST_CASE(a_reader_killed_inside_its_release_leaves_the_owner_free)
{
    // The owner's 5 s wait runs out while the reader is inside its locked release: the
    // reader is ended by force (-2, with the line that says so) and the owner must still
    // get the lock and finish the release.
    CCapturingRedirector* r = new CCapturingRedirector;
    REQUIRE(r->OpenConsole());
    HANDLE reader = r->DuplicateReaderHandle();
    g_slowReleaseThread = r->ReaderThreadId();
    CRedirector::s_releaseHook = SlowReleaseOnReader;
    const bool returned = ReturnsWithin(15000, [&] { r->CloseConsole(); });
    CRedirector::s_releaseHook = NULL;
    CHECK(returned);
    if (!returned)
        return;   // r stays with the stuck thread
    CHECK_EQ(TestSupport::ThreadExitCode(reader, 0), 0xFFFFFFFEul);
    CloseHandle(reader);
    REQUIRE(r->Errors().size() == 1);
    CHECK_EQ(r->Errors()[0], std::string("The redir thread is dead\r\n"));
    CHECK(r->AllHandlesNull());
    // The lock works for the next console.
    REQUIRE(r->OpenConsole());
    CHECK(r->SendFormatted("echo after-%d\r\n", 1));
    CHECK(PumpUntil([&] { return r->Output().find("after-1\r") != std::string::npos; }, 20000));
    delete r;
}

TEST_CASE(read_error_and_a_gone_interpreter_are_reported)
{
    {
        // A pipe error other than the end of the child: the error line and exit code -1.
        CCapturingRedirector r;
        REQUIRE(r.OpenConsole());
        HANDLE reader = r.DuplicateReaderHandle();
        r.BreakOutputPipe();
        CHECK(PumpUntil([&] { return r.AllHandlesNull(); }, 10000));
        CHECK_EQ(TestSupport::ThreadExitCode(reader, 5000), 0xFFFFFFFFul);
        CloseHandle(reader);
        REQUIRE(r.Errors().size() == 1);
        CHECK_EQ(r.Errors()[0], std::string("Read stdout pipe error\r\n"));
    }
    // A send after the interpreter ended, while the reader has not yet closed the
    // console (it is held in its last delivery), fails in both ways of pacing.
    const CRedirector::InputPacing pacings[] = {CRedirector::PacingAlways, CRedirector::PacingNever};
    for (CRedirector::InputPacing pacing : pacings) {
        PacingOverride paced(pacing);
        HANDLE held = CreateEventA(NULL, TRUE, FALSE, NULL);
        HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
        CCapturingRedirector r;
        r.beforeOutput = [&](const char*) {
            SetEvent(held);
            WaitForSingleObject(release, 10000);
        };
        REQUIRE(OpenEmitConsole(r, "pattern:10"));
        CHECK(WaitForSingleObject(held, 10000) == WAIT_OBJECT_0);
        CHECK(WaitForSingleObject(r.ChildProcess(), 10000) == WAIT_OBJECT_0);
        // Wine releases an ended child's handles a moment after its process handle is
        // signalled; Windows before.
        BOOL sent = TRUE;
        for (int attempt = 0; sent && attempt < 30; ++attempt) {
            if (attempt > 0)
                Sleep(100);
            SetLastError(0);
            sent = r.SendFormatted("echo too-late\r\n");
        }
        CHECK(!sent);
        CHECK(GetLastError() == ERROR_NO_DATA || GetLastError() == ERROR_BROKEN_PIPE);
        SetEvent(release);
        CHECK(PumpUntil([&] { return r.AllHandlesNull(); }, 10000));
        CloseHandle(held);
        CloseHandle(release);
    }
}

TEST_CASE(the_interpreter_comes_from_the_system_folder_and_paced_waits_are_capped)
{
    // A cmd.exe in the current folder is never run (this one would print nothing).
    char tempDir[MAX_PATH], cwd[MAX_PATH];
    GetTempPathA(MAX_PATH, tempDir);
    const std::string folder = std::string(tempDir) + "ksm-planted-cmd";
    CreateDirectoryA(folder.c_str(), NULL);
    const std::string planted = folder + "\\cmd.exe";
    REQUIRE(CopyFileA(BesideMe("console_emit.exe").c_str(), planted.c_str(), FALSE));
    GetCurrentDirectoryA(MAX_PATH, cwd);
    SetCurrentDirectoryA(folder.c_str());
    {
        CCapturingRedirector r;
        REQUIRE(r.OpenConsole());
        CHECK(r.SendFormatted("echo real-%d\r\n", 1));
        CHECK(PumpUntil([&] { return r.Output().find("real-1\r") != std::string::npos; }, 20000));
    }
    SetCurrentDirectoryA(cwd);
    DeleteFileA(planted.c_str());
    RemoveDirectoryA(folder.c_str());

    // Paced, a line the child never takes holds the next one back for at most ~5 s.
    PacingOverride paced(CRedirector::PacingAlways);
    CCapturingRedirector r;
    REQUIRE(OpenEmitConsole(r, "sleep:30000"));
    CHECK(r.SendFormatted("first\r\n"));
    const DWORD start = GetTickCount();
    CHECK(r.SendFormatted("second\r\n"));
    const DWORD waited = GetTickCount() - start;
    CHECK(waited >= 4500 && waited < 15000);
}
