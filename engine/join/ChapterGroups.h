#pragma once

#include <string>
#include <vector>

class Console;

// Which recordings of a folder run become one: the chapters a camera split one recording
// into, told by its naming (GoPro's GH010123, GH020123, ...; GOPR0123, GP010123, ...) and by
// their content, each continuing the last in settings and in time; with `joinSegments`, also
// a dash cam's files that continue each other. A chapter missing between two, or one that
// does not continue the one before, is never joined across; each such case is said.
class ChapterGroups
{
public:
    // The chapter a camera's file name (without its extension) numbers, from 1, and the
    // recording it belongs to; 0 when the name tells none.
    static int ChapterOf(const std::wstring& stem, std::wstring& recording);
    // `recordings` (each folder's in name order) as what is converted: one recording, or
    // chapters in their order.
    static std::vector<std::vector<std::wstring>> Units(const std::vector<std::wstring>& recordings, bool joinSegments,
                                                        Console& console);
};
