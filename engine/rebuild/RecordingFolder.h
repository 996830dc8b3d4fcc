#pragma once

#include <string>
#include <vector>

// Finished recordings a cut one may take its settings from.
struct Neighbours
{
    std::vector<std::wstring> paths;   // likeliest from the same camera first
    size_t notOpened = 0;              // of the same kind but online only, or links to elsewhere
};

// The folder a recording lies in, as a cut recording's rebuild looks for its camera's
// finished recordings there.
class RecordingFolder
{
public:
    // Files of the same kind (extension) in the recording's folder, nearest in name, then in
    // time; at most `most`. Files a cloud folder keeps online only are not opened (that would
    // download them), nor links that lead elsewhere (a network share, another drive).
    static Neighbours Candidates(const std::wstring& recording, size_t most);
    // Whether a file with these attributes is read from this computer as it is.
    static bool HereAsItIs(unsigned long attributes);
};
