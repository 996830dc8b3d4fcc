#pragma once

#include <string>

// A first look at the source's own bytes, before ffmpeg reads it: a playlist or a script
// that names other files (perhaps behind an MP3-like ID3 tag), or text of any other kind,
// is not a recording, whatever its name says.
class SourceSniffer
{
public:
    // "" for what may be a recording, else the reason it is not one. error: the system's
    // error when the file could not be read.
    static std::string Refusal(const std::wstring& path, unsigned long& error);
    static std::string RefusalOf(const std::string& head);
};
