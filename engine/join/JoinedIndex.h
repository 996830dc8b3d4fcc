#pragma once

#include "join/ChapterIndex.h"

#include <string>
#include <vector>

// Chapters a camera split one recording into, as one: each track's samples of every chapter
// in turn, their times running on from the last chapter's, their data where the joined
// file puts each chapter's media data. Nothing is re-encoded or re-timed: a camera's
// chapters are one stream cut into files.
class JoinedIndex
{
public:
    // "" when `next` can follow `last` in one stream: the same tracks with the same settings,
    // the pictures starting on a keyframe and running on from the last ones. Else why not.
    static std::string Mismatch(const ChapterIndex& last, const ChapterIndex& next);
    // "" when the sound of `next`, laid after the samples so far (ticksBefore: each track's, of
    // every chapter before it; `first` began the recording), stays in step with its pictures
    // as its own edits have them (a new encoder's start, skipped in its own file, is not).
    static std::string OutOfStep(const ChapterIndex& first, const std::vector<uint64_t>& ticksBefore,
                                 const ChapterIndex& next);
    // "" when `next` was recorded as `last` ended (its recording time, its timecode); `first`:
    // the recording's first chapter, whose time some cameras give every chapter. Else why not.
    static std::string TimeGap(const ChapterIndex& first, const ChapterIndex& last, const ChapterIndex& next);
    // The joined index (moov), the first chapter's with every table laid end to end, for a
    // file that holds chapter k's media data from dataAt[k] on.
    static std::string Moov(const std::vector<const ChapterIndex*>& chapters, const std::vector<uint64_t>& dataAt);
    // The settings of a track's sample entries, without the bit rates a writer counts per file.
    static std::string Settings(const std::string& sampleEntries);
};
