#pragma once

#include <string>
#include <vector>

// The folder a recording lies in, as a cut recording's rebuild looks for its camera's
// finished recordings there.
class RecordingFolder
{
public:
    // Files of the same kind (extension) in the recording's folder, nearest in name, then in
    // time; at most `most`.
    static std::vector<std::wstring> Candidates(const std::wstring& recording, size_t most);
};
