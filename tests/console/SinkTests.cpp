// The log-window redirector with a real edit control owned by the test's thread, as the
// converter window owns its log box.

#include <cstdio>
#include <string>

#include "CMyRedirector.h"
#include "RedirectorTestSupport.h"
#include "TestKit.h"

using TestSupport::BesideMe;
using TestSupport::PumpUntil;

namespace {

class LogWindow
{
public:
    explicit LogWindow(bool visible)
    {
        HWND hWnd = CreateWindowExA(0, "EDIT", "", WS_OVERLAPPEDWINDOW | WS_VSCROLL | ES_MULTILINE |
                                        ES_AUTOVSCROLL | (visible ? WS_VISIBLE : 0),
                                    40, 40, 500, 300, NULL, NULL, GetModuleHandleA(NULL), NULL);
        edit.Attach(hWnd);
        edit.SetLimitText(0);
    }
    ~LogWindow() { DestroyWindow(edit.Detach()); }

    std::string Text() const
    {
        CString text;
        edit.GetWindowText(text);
        return std::string(text.GetString(), static_cast<size_t>(text.GetLength()));
    }

    CEdit edit;
};

class CTestLogRedirector : public CMyRedirector
{
public:
    HANDLE DuplicateReaderHandle()
    {
        HANDLE copy = NULL;
        if (m_hReaderThread)
            DuplicateHandle(GetCurrentProcess(), m_hReaderThread, GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
        return copy;
    }
};

// Calls a handler on a thread of its own, as the reader does, while this thread serves
// the messages it sends.
template <typename Fn>
void CallFromOtherThread(Fn fn)
{
    struct Call
    {
        static DWORD WINAPI Run(LPVOID p)
        {
            (*static_cast<Fn*>(p))();
            return 0;
        }
    };
    HANDLE thread = CreateThread(NULL, 0, Call::Run, &fn, 0, NULL);
    PumpUntil([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 10000);
    CloseHandle(thread);
}

std::string EmitForever()
{
    return "\"" + BesideMe("console_emit.exe") + "\" forever";
}

// Opens a console streaming into the window, closes it from this (the window's) thread
// and checks the reader stopped by request. Returns the close time in ms.
DWORD StreamAndClose(CTestLogRedirector& r, LogWindow& log)
{
    log.edit.SetWindowText("");
    r.m_pOutputEdit = &log.edit;
    if (!CHECK(r.OpenConsole()))
        return 0;
    HANDLE reader = r.DuplicateReaderHandle();
    CHECK(r.SendFormatted("%s\r\n", EmitForever().c_str()));
    CHECK(PumpUntil([&] { return log.edit.GetWindowTextLength() > 2000; }, 30000));
    const DWORD start = GetTickCount();
    r.CloseConsole();
    const DWORD elapsed = GetTickCount() - start;
    CHECK_EQ(TestSupport::ThreadExitCode(reader, 0), 1ul);
    CloseHandle(reader);
    CHECK(log.Text().find("The redir thread is dead") == std::string::npos);
    return elapsed;
}

} // namespace

TEST_CASE(sink_appends_at_the_very_end_whatever_the_selection)
{
    LogWindow log(true);
    CMyRedirector r;
    r.m_pOutputEdit = &log.edit;
    log.edit.SetWindowText("hello world");
    log.edit.SetSel(0, 5);
    CallFromOtherThread([&] { r.OnOutputText("!"); });
    CHECK_EQ(log.Text(), std::string("hello world!"));
    log.edit.SetSel(3, 3);
    CallFromOtherThread([&] { r.OnOutputText("ab"); r.OnOutputText("c\r\n"); });
    CallFromOtherThread([&] { r.OnErrorText("boom\r\n"); });
    CHECK_EQ(log.Text(), std::string("hello world!abc\r\n\r\nError message: boom\r\n"));
    // The insertion cannot be undone.
    CHECK(!log.edit.SendMessage(EM_CANUNDO));

    r.m_pOutputEdit = NULL;
    r.OnOutputText("dropped");
    r.OnErrorText("dropped");
    CHECK_EQ(log.Text(), std::string("hello world!abc\r\n\r\nError message: boom\r\n"));
}

TEST_CASE(open_failure_line_appears_in_the_log_with_its_prefix)
{
    LogWindow log(false);
    CMyRedirector r;
    r.m_pOutputEdit = &log.edit;
    CRedirector::s_interpreterPathOverride = "C:\\no-such-folder-here\\cmd.exe";
    const BOOL opened = r.OpenConsole();
    const DWORD error = GetLastError();
    CRedirector::s_interpreterPathOverride = NULL;
    CHECK(!opened);
    char expected[80];
    wsprintfA(expected, "\r\nError message: Redirect console error: %x\r\n", error);
    CHECK_EQ(log.Text(), std::string(expected));
}

TEST_CASE(close_while_streaming_from_the_window_thread_stops_the_reader)
{
    // A small visible case: every append repaints.
    {
        LogWindow log(true);
        CTestLogRedirector r;
        for (int i = 0; i < 3; ++i)
            CHECK(StreamAndClose(r, log) < 2000);
    }
    // Many cycles with the window hidden: no forced end, no double close, no leak.
    LogWindow log(false);
    CTestLogRedirector r;
    StreamAndClose(r, log);
    const uintptr_t before = TestSupport::HighestFreshHandleSlot();
    DWORD slowest = 0;
    for (int cycle = 0; cycle < 110; ++cycle) {
        const DWORD elapsed = StreamAndClose(r, log);
        slowest = elapsed > slowest ? elapsed : slowest;
        // Handles freed by the close are handed out again at once; a late second close
        // of one of them would destroy one of these.
        HANDLE sentinels[8];
        for (HANDLE& h : sentinels)
            h = CreateEventA(NULL, TRUE, FALSE, NULL);
        Sleep(5);
        for (HANDLE h : sentinels) {
            DWORD flags = 0;
            CHECK(GetHandleInformation(h, &flags));
            CloseHandle(h);
        }
    }
    const uintptr_t after = TestSupport::HighestFreshHandleSlot();
    std::printf("    slowest close %lu ms; handle slots before %lu after %lu\n",
                static_cast<unsigned long>(slowest), static_cast<unsigned long>(before),
                static_cast<unsigned long>(after));
    CHECK(slowest < 2000);
    // One slot (4) per leaked handle: 110 cycles leaking one each would show as 440.
    CHECK(after <= before + 4 * 4);
}

TEST_CASE(destruction_never_reaches_the_log_after_it_starts)
{
    // The log belongs to a thread that serves no messages for 8 s, so the reader hangs in
    // its append and the destroying thread must end it by force after 5 s. What the
    // closing code reports then ("The redir thread is dead") must go to the base
    // handlers: a log-window handler would append it (and hang until the log thread
    // serves it).
    struct LogThread
    {
        HANDLE ready = CreateEventA(NULL, TRUE, FALSE, NULL);
        LogWindow* log = NULL;
        std::string text;
        static DWORD WINAPI Run(LPVOID p)
        {
            LogThread* self = static_cast<LogThread*>(p);
            LogWindow log(false);
            self->log = &log;
            SetEvent(self->ready);
            Sleep(8000);
            PumpUntil([] { return false; }, 1000);
            self->text = log.Text();
            self->log = NULL;
            return 0;
        }
    } logThread;
    HANDLE thread = CreateThread(NULL, 0, LogThread::Run, &logThread, 0, NULL);
    REQUIRE(WaitForSingleObject(logThread.ready, 5000) == WAIT_OBJECT_0);

    CMyRedirector* r = new CMyRedirector;
    r->m_pOutputEdit = &logThread.log->edit;
    REQUIRE(r->OpenConsole());
    CHECK(r->SendFormatted("%s\r\n", EmitForever().c_str()));
    Sleep(1000);   // the reader is stuck in its first append by now
    const DWORD start = GetTickCount();
    delete r;
    const DWORD closeMs = GetTickCount() - start;
    CHECK(WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(logThread.ready);
    std::printf("    close took %lu ms\n", static_cast<unsigned long>(closeMs));
    CHECK(closeMs >= 4500 && closeMs < 7000);
    CHECK(logThread.text.find("redir thread is dead") == std::string::npos);
    CHECK(logThread.text.find("Error message") == std::string::npos);
}
