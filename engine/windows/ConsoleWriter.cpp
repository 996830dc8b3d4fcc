#include "windows/ConsoleWriter.h"

#include "windows/TextFormat.h"

#include <windows.h>

namespace {

// Ctrl+C, Ctrl+Break or the console closing: the run stops as when its window closes (ffmpeg
// stopped, nothing of it left beside the recording) instead of dying in the middle.
volatile LONG g_interrupted = 0;
HANDLE g_ended = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    InterlockedExchange(&g_interrupted, 1);
    // Closing the console ends the process once this returns: the clean-up gets its seconds.
    if (event == CTRL_CLOSE_EVENT && g_ended)
        WaitForSingleObject(g_ended, 4000);
    return TRUE;
}

} // namespace

void ConsoleWriter::Ended()
{
    if (g_ended)
        SetEvent(g_ended);
}

bool ConsoleWriter::Interrupted()
{
    return g_interrupted != 0;
}

ConsoleWriter::ConsoleWriter()
{
    g_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    m_out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    m_console = m_out != INVALID_HANDLE_VALUE && m_out != nullptr && GetConsoleMode(m_out, &mode);
    m_pipe = !m_console && m_out != INVALID_HANDLE_VALUE && m_out != nullptr && GetFileType(m_out) == FILE_TYPE_PIPE;
}

void ConsoleWriter::NoteWriteError()
{
    DWORD error = GetLastError();
    if (m_pipe && (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED))
        m_readerGone = true;
}

bool ConsoleWriter::ReaderGone()
{
    if (Interrupted())
        return true;
    if (m_pipe && !m_readerGone) {
        DWORD done = 0;
        if (!WriteFile(m_out, "", 0, &done, nullptr))
            NoteWriteError();
    }
    return m_readerGone;
}

void ConsoleWriter::Line(const std::string& utf8)
{
    Line(TextFormat::Utf8ToWide(utf8));
}

void ConsoleWriter::Line(const std::wstring& text)
{
    if (m_out == INVALID_HANDLE_VALUE || m_out == nullptr)
        return;
    std::wstring line = text + L"\r\n";
    DWORD done = 0;
    if (m_console) {
        WriteConsoleW(m_out, line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
        return;
    }
    int n = WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), &bytes[0], n, nullptr, nullptr);
    // One write per line: a reader on the other end never sees half a line from us.
    if (!WriteFile(m_out, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr))
        NoteWriteError();
}
