#include "mp4/AmrTrack.h"

#include "windows/DiskFile.h"

bool AmrTrack::WriteRaw(const std::wstring& source, const std::vector<SampleSpan>& samples, bool wideband,
                        const std::wstring& raw)
{
    DiskFile in, out;
    return in.OpenRead(source) && out.Create(raw, false) && WriteRaw(in, samples, wideband, out);
}

bool AmrTrack::WriteRaw(ByteSource& in, const std::vector<SampleSpan>& samples, bool wideband, ByteSink& out)
{
    const std::string header = wideband ? "#!AMR-WB\n" : "#!AMR\n";
    if (!out.Write(header.data(), header.size()))
        return false;
    // Samples that follow one another in the file are read together; after a read that
    // failed (the file ends), one at a time up to the last whole one.
    const uint32_t most = 1 << 20;
    bool together = true;
    size_t written = 0;
    // A recording's sound frames are parts of it, each once: an index that lists the same bytes
    // over and over (made to fill the disk) stops where the copy would outgrow the recording.
    uint64_t copied = 0;
    std::string bytes;
    for (size_t i = 0; i < samples.size();) {
        uint64_t at = samples[i].offset;
        uint64_t length = samples[i].size;
        size_t next = i + 1;
        while (together && next < samples.size() && samples[next].offset == at + length &&
               length + samples[next].size <= most)
            length += samples[next++].size;
        if (length > most || !in.ReadExactly(at, static_cast<uint32_t>(length), bytes)) {
            if (!together || next == i + 1)
                break;
            together = false;
            continue;
        }
        copied += bytes.size();
        if (copied > in.Size())
            break;
        if (!out.Write(bytes.data(), bytes.size()))
            return false;
        written += next - i;
        i = next;
    }
    return written > 0;
}
