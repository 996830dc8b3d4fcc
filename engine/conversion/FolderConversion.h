#pragma once

#include <string>
#include <vector>

class Console;

// qmconvert "<folder>": every recording (.ksm) in a folder and its sub-folders, as a camera
// card holds them, converted beside itself one after another exactly as a single one is, a
// camera's chapters joined into one (named after the first). A
// recording whose MP4 an earlier run left (as new as the recording, readable) is passed by,
// so a run stopped half-way picks up where it stopped. One line a recording, a summary, and
// a final line.
class FolderConversion
{
public:
    // More in one run is more than any card holds: the rest are named for another run.
    static const size_t MostRecordings = 20000;

    explicit FolderConversion(Console& console) : m_console(console) {}
    // The exit code: 0 when every recording is converted or up to date. joinSegments: a dash
    // cam's files that continue each other are joined too, as a camera's chapters always are.
    int Run(const std::wstring& folder, bool joinSegments);

    // The recordings in `folder` and below (not the engine's own work folders, links or the
    // system's hidden folders), each folder's in name order; at most `most` (`more` then says so).
    static std::vector<std::wstring> Recordings(const std::wstring& folder, size_t most, bool& more);
    // An MP4 at `mp4` that a conversion of `recording` left: dated as the recording or later,
    // and read whole as an MP4.
    static bool UpToDate(const std::wstring& recording, const std::wstring& mp4);

private:
    // "" when the target's drive has room for what converting `unit` writes; else why not.
    static std::string RoomFor(const std::vector<std::wstring>& unit, const std::wstring& target);

    Console& m_console;
};
