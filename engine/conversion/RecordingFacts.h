#pragma once

#include "ffmpeg/Attempt.h"
#include "source/SourceBounds.h"

#include <string>

// What run 1 found out about the recording; the attempts, the review and the placement read it.
struct RecordingFacts
{
    std::wstring source;         // the user's file
    std::wstring readPath;       // what ffmpeg reads: the source, or its rebuilt copy
    unsigned long long bytes = 0;
    SourceBounds bounds{0, 1};
    std::string format;          // ffmpeg's name for it ("mov,mp4,...", "mpegts")
    double duration = -1;        // as the recording states it; < 0 unknown
    bool fpsMode = true;         // this ffmpeg takes -fps_mode
    bool clockMayJump = false;   // MPEG clock readings may span more than there is
    bool noPresentationTimes = false;   // AVI, raw H.264/HEVC: decode order only
    std::string creationTime;
    std::string openReason;      // ffmpeg could not read it as a recording: its words
};

// The bounds of a run reading pictures of `pixels` (0: not known yet).
inline RunBounds BoundsFor(const SourceBounds& source, long long pixels)
{
    RunBounds bounds;
    bounds.threads = source.Threads(pixels);
    bounds.outputBytes = source.OutputBytes();
    return bounds;
}
