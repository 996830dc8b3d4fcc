#pragma once

#include <string>
#include <vector>

// Splits a Windows command line the way the C runtime does (quotes, backslashes before
// quotes), without shell32: the program name is left out.
class CommandLineSplitter
{
public:
    static std::vector<std::wstring> Arguments(const std::wstring& commandLine);
};
