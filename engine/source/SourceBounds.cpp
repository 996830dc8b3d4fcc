#include "source/SourceBounds.h"

SourceBounds::SourceBounds(unsigned long long sourceBytes, unsigned processors)
    : m_sourceBytes(sourceBytes), m_processors(processors ? processors : 1)
{
}

bool SourceBounds::PictureTooLarge(int width, int height)
{
    return width > MaxSide || height > MaxSide || static_cast<long long>(width) * height > MaxPixels;
}

bool SourceBounds::BeyondFourK(int width, int height)
{
    return static_cast<long long>(width) * height > 4096LL * 2304;
}

int SourceBounds::Threads(long long pixels) const
{
    if (pixels > 4096LL * 2304)
        return 2;
    // ffmpeg's own choice is one more than the processors, without an upper bound.
    int threads = static_cast<int>(m_processors) + 1;
    return threads < MaxThreads ? threads : MaxThreads;
}

long long SourceBounds::OutputBytes() const
{
    return static_cast<long long>(m_sourceBytes) * 16 + (256LL << 20);
}

long long SourceBounds::Frames() const
{
    // A skipped frame of raw H.264 takes about 8 bytes with its start code.
    return static_cast<long long>(m_sourceBytes / 8) + 2000;
}

double SourceBounds::Seconds() const
{
    // The lowest rate a recorder writes (AMR speech, 1 fps CCTV) is hundreds of bytes a
    // second; four bytes a second allows long gaps without a frame.
    return static_cast<double>(m_sourceBytes) / 4 + 3600;
}
