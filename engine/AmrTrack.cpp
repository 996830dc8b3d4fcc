#include "AmrTrack.h"

#include <windows.h>

namespace {

struct Handle
{
    HANDLE h;
    ~Handle()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};

bool WriteAll(HANDLE file, const std::string& bytes)
{
    DWORD done = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
}

} // namespace

bool AmrTrack::WriteRaw(const std::wstring& source, const std::vector<SampleSpan>& samples, bool wideband,
                        const std::wstring& raw)
{
    Handle in{CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    Handle out{CreateFileW(raw.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (in.h == INVALID_HANDLE_VALUE || out.h == INVALID_HANDLE_VALUE)
        return false;
    if (!WriteAll(out.h, wideband ? "#!AMR-WB\n" : "#!AMR\n"))
        return false;
    // Samples that follow one another in the file are read together; after a read that
    // failed (the file ends), one at a time up to the last whole one.
    const uint32_t most = 1 << 20;
    bool together = true;
    size_t written = 0;
    std::string bytes;
    for (size_t i = 0; i < samples.size();) {
        uint64_t at = samples[i].offset;
        uint64_t length = samples[i].size;
        size_t next = i + 1;
        while (together && next < samples.size() && samples[next].offset == at + length &&
               length + samples[next].size <= most)
            length += samples[next++].size;
        if (length > most || !Mp4Inspector::ReadAt(in.h, at, static_cast<uint32_t>(length), bytes)) {
            if (!together || next == i + 1)
                break;
            together = false;
            continue;
        }
        if (!WriteAll(out.h, bytes))
            return false;
        written += next - i;
        i = next;
    }
    return written > 0;
}
