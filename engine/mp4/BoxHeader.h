#pragma once

#include "bytes/ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <string>

// One box's header, read where it stands and bounded by the range that holds it (a file, or
// a container's payload). Every box walk reads its headers here; what a box that does not
// fit means (damage, or media data a power cut left open) is the walk's to decide.
struct BoxHeader
{
    enum Fit
    {
        Inside,       // the whole box lies within the range
        CutHeader,    // the range ends inside the header (under 8 bytes, or 16 for a 64-bit size)
        Damaged,      // it states fewer bytes than its own header
        Beyond,       // it runs past the end of the range
        Unreadable,   // the file could not be read there
    };

    std::string type;          // "" when not even 8 bytes were there
    uint64_t size = 0;         // the whole box as stated, header included; size 0 reads as the rest of the range
    uint32_t headerSize = 8;   // 16 with a 64-bit size
    bool toEnd = false;        // it stated size 0

    // The next whole box of an index held in memory, from `at` within [at, end): its header in
    // `box`, where it begins, its payload and its end (`at` moves there). False at the end or
    // at a box that does not fit.
    struct Span
    {
        size_t begin = 0, payload = 0, end = 0;
    };
    static bool Next(const std::string& d, size_t& at, size_t end, BoxHeader& box, Span& span);

    // The box at `at` of the range [at, end) of d, or of a file.
    static Fit Read(const std::string& d, size_t at, size_t end, BoxHeader& box);
    static Fit Read(ByteSource& file, uint64_t at, uint64_t end, BoxHeader& box);
};
