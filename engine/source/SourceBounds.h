#pragma once

// The bounds a recording is read within. Recordings come from strangers, so a file of a few
// kilobytes must not take ffmpeg to gigabytes of memory, hours of work or a full disk; the
// numbers leave real recordings far from every bound.
class SourceBounds
{
public:
    // Cameras write a few streams; ffmpeg opens a decoder for each while it looks.
    static const int MaxStreams = 64;
    // 8K (8192x4320) fits, panoramic pictures too, up to 16384 on a side.
    static const long long MaxPixels = 8192LL * 4320;
    static const int MaxSide = 16384;
    // ffmpeg's private memory: a real 4K re-encode with MaxThreads needs about 1.05 GiB.
    static const unsigned long long MemoryBytes = 1536ULL << 20;
    static const int MaxThreads = 6;

    SourceBounds(unsigned long long sourceBytes, unsigned processors);

    static bool PictureTooLarge(int width, int height);
    // Beyond 4K a re-encode does not fit the memory ffmpeg may take (8K: over 2 GB even
    // with one thread); copied, such a picture costs little.
    static bool BeyondFourK(int width, int height);
    // Decoder and encoder threads for pictures of this size: each thread holds frames of
    // its own, so more threads cost memory, and pictures beyond 4K get two.
    int Threads(long long pixels) const;
    // What one ffmpeg run may write: a re-encode of a low-rate camera stream can grow
    // several times, so the multiple is generous.
    long long OutputBytes() const;
    // Video frames one run may put out: even a still scene costs a frame some bytes.
    long long Frames() const;
    // Seconds one run may reach: a recording with long gaps still costs bytes per second.
    double Seconds() const;

private:
    unsigned long long m_sourceBytes;
    unsigned m_processors;
};
