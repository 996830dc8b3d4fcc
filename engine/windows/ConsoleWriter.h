#pragma once

#include "windows/Console.h"

#include <string>

// Writes the engine's lines: to a console as wide text, to a pipe (the program's log box,
// cmd's redirection) in the ANSI code page.
class ConsoleWriter : public Console
{
public:
    ConsoleWriter();
    void Line(const std::wstring& text);
    void Line(const std::string& utf8) override;
    // True once the pipe the lines go into has lost its reader: the window that started
    // the conversion was closed or started another. Asks with a write of no bytes, which
    // shows nothing and is the engine's own I/O on its own output.
    // Also true once Ctrl+C or Ctrl+Break was pressed, or the console is closing.
    bool ReaderGone() override;
    // Ctrl+C, Ctrl+Break or the console closing stopped the run.
    static bool Interrupted();
    // The run has cleaned up: a closing console may end the process now.
    static void Ended();

private:
    void NoteWriteError();

    void* m_out;
    bool m_console;
    bool m_pipe;
    bool m_readerGone = false;
};
