#pragma once

#include <string>

// Writes the engine's lines: to a console as wide text, to a pipe (the program's log box,
// cmd's redirection) in the ANSI code page.
class ConsoleWriter
{
public:
    ConsoleWriter();
    void Line(const std::wstring& text);
    void Line(const std::string& utf8);

private:
    void* m_out;
    bool m_console;
};
