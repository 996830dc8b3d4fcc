#pragma once

#include "conversion/Verdict.h"

#include <string>

class Console;
class FfmpegRun;
class SourceBounds;
class WorkFolder;

// A recording whose index was never written (power cut, card pulled) is rebuilt into the
// work folder and read from there; any other is read as it is.
class Repair
{
public:
    // What ffmpeg is to read.
    static Outcome<std::wstring> ReadableCopy(const std::wstring& source, const SourceBounds& bounds,
                                              WorkFolder& work, FfmpegRun& run, Console& console);
};
