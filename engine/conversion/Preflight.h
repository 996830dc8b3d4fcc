#pragma once

#include "conversion/Verdict.h"

#include <string>
#include <vector>

class Console;
class WorkFolder;

// Where a conversion reads and writes, in the engine's long-path form.
struct ConversionPaths
{
    std::wstring source;
    std::wstring target;
    std::wstring targetFolder;
    std::wstring ffmpeg;   // beside this program
};

// How long the conversion waits for others. QMCONVERT_STALL_SECONDS, _HELD_SECONDS and
// _STALE_SECONDS set them (tests, slow network drives).
struct Patience
{
    unsigned long stallMs = 120000;     // ffmpeg or a download making no progress
    unsigned long heldWaitMs = 90000;   // a new MP4 another program holds
    unsigned long staleMs = 60000;      // a killed run's work folder without its lock

    static Patience FromEnvironment();
};

// The recording's file as the checks found it.
struct SourceFile
{
    unsigned long long bytes = 0;
    SourceBounds bounds{0, 1};
};

// Before ffmpeg runs: the arguments, the source (downloaded first when it is kept online
// only), the target, ffmpeg.exe and the work folder beside the target.
class Preflight
{
public:
    Preflight(Console& console, const Patience& patience);

    // Says which files the conversion reads and writes.
    Outcome<ConversionPaths> Arguments(const std::vector<std::wstring>& args);
    // Fills in paths.ffmpeg and makes the work folder.
    Outcome<SourceFile> Check(ConversionPaths& paths, WorkFolder& work);
    // `path` from the current folder on (as it stands when GetFullPathName cannot tell).
    static std::wstring FullPath(const std::wstring& path);

private:
    Failure CheckTarget(const ConversionPaths& paths, const std::wstring& sourcePath);
    Failure FindFfmpeg(ConversionPaths& paths);
    Failure MakeWorkFolder(const ConversionPaths& paths, WorkFolder& work);
    Failure Download(const std::wstring& source);

    Console& m_console;
    Patience m_patience;
};
