#pragma once

#include <functional>
#include <string>

// A recording that OneDrive (or another cloud folder) keeps online only is downloaded by
// the first read of its data, which can take minutes; ffmpeg would report nothing all that
// time. Such a source is read through once first, with its own progress and stall limit.
class SourceDownload
{
public:
    // Whether these file attributes mark a file whose data is not on this computer.
    static bool OnlineOnly(unsigned long attributes);

    // keepGoing(bytes so far, size) is asked several times a second; false stops the read.
    typedef std::function<bool(long long, long long)> Progress;

    // Reads the file to its end. Returns 0, ERROR_CANCELLED when keepGoing said stop,
    // WAIT_TIMEOUT when data stopped coming for stallMs (before the first data, the
    // provider's own time-out counts), or the Windows error of the read.
    static unsigned long Fetch(const std::wstring& path, unsigned long stallMs, const Progress& keepGoing);
};
