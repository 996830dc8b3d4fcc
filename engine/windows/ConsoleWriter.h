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
    bool ReaderGone() override;

private:
    void NoteWriteError();

    void* m_out;
    bool m_console;
    bool m_pipe;
    bool m_readerGone = false;
};
