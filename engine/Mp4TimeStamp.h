#pragma once

#include <string>

// Sets the times an MP4 states of itself (movie, track and media headers: what players
// and Explorer's "Media created" show) in place: the fields keep their size, nothing moves.
class Mp4TimeStamp
{
public:
    // secondsSince1904: the MP4's own clock. False when the file has no readable index.
    static bool Write(const std::wstring& path, unsigned long long secondsSince1904);
    // Patches the headers inside a moov box held in memory; returns how many were set.
    static int Patch(std::string& moov, unsigned long long secondsSince1904);
};
