#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What the engine's parsers read a recording through: a file on disk, or bytes in memory
// (tests, fuzzing). Reads name their offset, so a parser never depends on a file position.
class ByteSource
{
public:
    virtual ~ByteSource() = default;

    virtual uint64_t Size() const = 0;
    // Up to n bytes at `at` into `to`: got is how many came (0 at the end). False on a read error.
    virtual bool Read(uint64_t at, void* to, size_t n, size_t& got) = 0;
    // The system's error of the last failed call, 0 when there is none to tell.
    virtual unsigned long Error() const { return 0; }

    // Exactly n bytes at `at`, or false.
    bool ReadExactly(uint64_t at, uint32_t n, std::string& out)
    {
        if (at > Size() || n > Size() - at)
            return false;
        out.assign(n, '\0');
        for (size_t done = 0, got = 0; done < n; done += got)
            if (!Read(at + done, &out[done], n - done, got) || got == 0)
                return false;
        return true;
    }
};
