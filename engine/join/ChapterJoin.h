#pragma once

#include "join/ChapterIndex.h"

#include <string>
#include <vector>

class Console;

// A camera's chapters on disk as one recording: which may follow which, and the joined file
// (the first chapter's boxes, one index over every chapter's samples, then each chapter's media
// data in turn, copied as it is).
class ChapterJoin
{
public:
    // At most this many chapters become one recording (a 4 GB chapter is some 10 minutes).
    static const size_t MostChapters = 200;

    // Reads a chapter's index: "" or why not.
    static std::string Read(const std::wstring& path, ChapterIndex& index);
    // "" when `next` continues `last` in settings and in time; `first` began the recording.
    static std::string Continues(const ChapterIndex& first, const ChapterIndex& last, const ChapterIndex& next);
    // Writes the chapters joined into `joined` (a new file); "" or why not (`writeFailed`:
    // the fault is the writing's). Stops with Cancelled once nobody reads the console.
    static std::string Write(const std::vector<std::wstring>& chapters, const std::wstring& joined, Console& console,
                             bool& writeFailed);
};
