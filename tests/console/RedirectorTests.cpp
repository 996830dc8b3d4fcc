// The console redirector against the real interpreter under Wine (or Windows), with
// console_emit as the program the interpreter runs.

#include <cstdio>
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
}

TEST_CASE(queued_output_precedes_child_end_line)
{
    CCapturingRedirector r;
    REQUIRE(r.OpenConsole());
    HANDLE reader = r.DuplicateReaderHandle();
    REQUIRE(r.SendFormatted("%s\r\n", EmitCommand("pattern 300000").c_str()));
    REQUIRE(r.SendFormatted("exit\r\n"));
    // The reader closes the console itself when the interpreter ends.
    CHECK(PumpUntil([&] { return r.AllHandlesNull(); }, 60000));
    CHECK_EQ(TestSupport::ThreadExitCode(reader, 5000), 0ul);
    CloseHandle(reader);

    // Everything the child wrote was delivered before the console closed. The end line
    // comes only when the pipe reports broken (under Wine the console host may still
    // hold it for a moment, and an empty pipe ends the drain without it); if it comes,
    // it comes last.
    size_t endAt = 0;
    const std::string out = r.Output();
    CHECK(Between(out, endAt) == ExpectedPattern(300000));
    const size_t endLine = out.find(kEndLine);
    if (endLine != std::string::npos)
        CHECK_EQ(endLine, out.size() - (sizeof kEndLine - 1));
    CHECK(r.Errors().empty());
}

TEST_CASE(lines_written_back_to_back_all_run)
{
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
    const std::string emit = BesideMe("console_emit.exe");
    InterpreterOverride useEmit(emit.c_str());
    SetEnvironmentVariableA("EMIT_MODE", "echo-stdin");
    CCapturingRedirector r;
    const BOOL opened = r.OpenConsole();
    SetEnvironmentVariableA("EMIT_MODE", NULL);
    REQUIRE(opened);
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
    InterpreterOverride missing("C:\\no-such-folder-here\\cmd.exe");
    CCapturingRedirector r;
    const uintptr_t before = TestSupport::HighestFreshHandleSlot();
    SetLastError(0);
    CHECK(!r.OpenConsole());
    const DWORD error = GetLastError();
    CHECK(error != 0);
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
