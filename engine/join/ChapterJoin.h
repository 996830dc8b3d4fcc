#pragma once

#include "join/ChapterIndex.h"

#include <string>
#include <vector>

class Console;
struct Mp4Summary;

// What a join wrote.
struct JoinedFile
{
    // The chapters were MP4 (not QuickTime) with pictures and sound an MP4 holds as they are:
    // the joined file is an MP4 already.
    bool mp4 = false;
    std::vector<uint64_t> samples;   // each track's, over every chapter
    uint64_t createdSeconds = 0;     // the first chapter's recording time, since 1904; 0: none
};

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
                             bool& writeFailed, JoinedFile& wrote);
    // "" when the joined MP4 reads back whole (every track's samples, the first and last
    // second well framed), its summary in `read`; else what is wrong.
    static std::string Check(const std::wstring& joined, const JoinedFile& wrote, Mp4Summary& read);
    // "GPS/telemetry (gpmd), timecode": the tracks beside the first picture and sound.
    static std::string OtherTracks(const Mp4Summary& mp4);
};
