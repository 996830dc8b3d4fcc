#pragma once

#include "conversion/Preflight.h"
#include "conversion/Verdict.h"
#include "windows/WorkFolder.h"

#include <string>
#include <vector>

class Console;
struct JoinedFile;
struct Mp4Summary;
class Verdict;

// One conversion from start to verdict, as its steps: preflight -> repair -> probe (run 1,
// which makes the plan) -> attempts (each reviewed) -> placement -> verdict. Run returns the
// exit code (ExitCode).
class Conversion
{
public:
    Conversion(Console& console, unsigned long startTick);
    int Run(const std::vector<std::wstring>& args);
    // The source is the first chapter of a recording the camera split: these follow it and
    // are joined to it (without re-encoding) before it is converted.
    void JoinChapters(const std::vector<std::wstring>& later) { m_later = later; }

private:
    int Convert(Preflight& preflight, ConversionPaths& paths, Verdict& verdict);
    Outcome<std::wstring> Joined(const std::wstring& first, JoinedFile& wrote);
    int Place(const std::wstring& target, Verdict& verdict);
    int PlaceJoined(const ConversionPaths& paths, Verdict& verdict, const JoinedFile& joined, const Mp4Summary& result);

    Console& m_console;
    unsigned long m_startTick;
    Patience m_patience;
    WorkFolder m_work;
    std::vector<std::wstring> m_later;
};
