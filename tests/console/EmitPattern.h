#pragma once

// The byte pattern console_emit writes and the tests check: never a NUL (a NUL would cut
// the chunk), and consecutive bytes differ, so a lost or repeated byte shows.
namespace EmitPattern {

const char kBegin[] = "<<BEGIN>>";
const char kEnd[] = "<<END>>";

inline char Byte(unsigned long index)
{
    return static_cast<char>(1 + index % 251);
}

} // namespace EmitPattern
