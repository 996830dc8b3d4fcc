// A chapter's index read for joining, then laid end to end with itself: the joined index
// must read back with every sample of both.
#include "bytes/MemoryFile.h"
#include "join/ChapterIndex.h"
#include "join/JoinedIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemoryFile file(std::string(reinterpret_cast<const char*>(data), size));
    ChapterIndex chapter;
    if (!chapter.Read(file))
        return 0;
    JoinedIndex::Mismatch(chapter, chapter);
    JoinedIndex::TimeGap(chapter, chapter, chapter);
    std::vector<uint64_t> ticks;
    for (const ChapterTrack& t : chapter.Tracks())
        ticks.push_back(t.mediaTicks);
    JoinedIndex::OutOfStep(chapter, ticks, chapter);
    const uint64_t length = chapter.DataEnd() - chapter.DataBegin();
    std::string moov = JoinedIndex::Moov({&chapter, &chapter}, {chapter.DataBegin(), chapter.DataBegin() + length});
    ChapterIndex joined;
    if (!joined.ReadMoov(moov, chapter.DataBegin(), chapter.DataEnd() + length))
        __builtin_trap();   // what the join writes, it reads
    for (size_t i = 0; i < chapter.Tracks().size() && i < joined.Tracks().size(); ++i)
        if (joined.Tracks()[i].samples != 2 * chapter.Tracks()[i].samples)
            __builtin_trap();
    return 0;
}
