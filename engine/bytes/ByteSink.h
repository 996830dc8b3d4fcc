#pragma once

#include <cstddef>
#include <cstdint>

// Where the engine writes a file it makes itself (a rebuilt recording, a sound track):
// appended in order, its end cut back, a header patched in place.
class ByteSink
{
public:
    virtual ~ByteSink() = default;

    // Appends at the end of what was written.
    virtual bool Write(const void* data, size_t n) = 0;
    // Bytes written so far (the end).
    virtual uint64_t End() const = 0;
    // Drops everything from `at` on; writing goes on there.
    virtual bool CutAt(uint64_t at) = 0;
    // Overwrites n bytes at `at` (< End()); writing goes on at the end.
    virtual bool Patch(uint64_t at, const void* data, size_t n) = 0;
    virtual unsigned long Error() const { return 0; }
};
