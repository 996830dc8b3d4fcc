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
    // "" when `next` continues `last` in settings, in step and in time; `first` began the
    // recording, ticksBefore: each track's samples' lengths over every chapter before `next`.
    static std::string Continues(const ChapterIndex& first, const ChapterIndex& last,
                                 const std::vector<uint64_t>& ticksBefore, const ChapterIndex& next);
    // Adds each track's lengths of `chapter` to `ticks`.
    static void AddTicks(const ChapterIndex& chapter, std::vector<uint64_t>& ticks);
    // Writes the chapters joined into `joined` (a new file); "" or why not (`writeFailed`:
    // the fault is the writing's). Stops with Cancelled once nobody reads the console.
    static std::string Write(const std::vector<std::wstring>& chapters, const std::wstring& joined, Console& console,
                             bool& writeFailed);
};
