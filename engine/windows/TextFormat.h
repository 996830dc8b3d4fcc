#pragma once

#include <string>

// Conversions between the text forms the engine meets: ffmpeg speaks UTF-8, Windows
// paths are wide, and the console/log box reads the ANSI code page.
class TextFormat
{
public:
    static std::wstring Utf8ToWide(const std::string& text);
    static std::string WideToUtf8(const std::wstring& text);
    // "H:MM:SS" for a number of seconds (negative counts as 0).
    static std::string Clock(double seconds);
    // "12.3 MB", "850 KB"
    static std::string Size(unsigned long long bytes);
    static std::string Lower(std::string text);
    static bool StartsWith(const std::string& text, const char* prefix);
    static bool Contains(const std::string& text, const char* part);
    static std::string Trim(const std::string& text);
    // The folder part of a path, with its closing backslash ("" for a bare name).
    static std::wstring FolderOf(const std::wstring& path);
    // A full path in the form Windows takes past 260 characters ("\\?\C:\...",
    // "\\?\UNC\server\share\..."), and back to the form people read and ffmpeg takes.
    static std::wstring ExtendedPath(const std::wstring& full);
    static std::wstring PlainPath(const std::wstring& path);
    // A path as people read it (and ffmpeg takes it), in UTF-8.
    static std::string PathUtf8(const std::wstring& path);
    // The file name of a path (no folder), in UTF-8.
    static std::string NameUtf8(const std::wstring& path);
    // Windows' own words for an error, one line, without a trailing full stop.
    static std::string SystemMessage(unsigned long error);
};
