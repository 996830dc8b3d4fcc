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
    // Dates a finished MP4 as its recording: the recording's own time (creationTime, as
    // ffmpeg reports it) where it states one, else the source file's; the file's date is
    // the source's either way, so a day's clips keep their order. Says which ("the
    // recording's own time: 2024-05-01 10:00:00 UTC"), "" when it stamped none.
    static std::string KeepRecordingTime(const std::wstring& mp4, const std::wstring& sourcePath,
                                         const std::string& creationTime);
};
