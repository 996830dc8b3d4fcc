#pragma once

#include <string>

enum class Tier
{
    CopyBoth,            // remux: streams copied
    CopyVideoAudioToAac, // video copied, audio converted
    Reencode,            // H.264 + AAC
    VideoOnly,           // audio left out
    RawH264,             // forced raw demuxers, for vendor headers and framing
    RawHevc,
};

// The bounds every ffmpeg run gets as arguments (SourceBounds).
struct RunBounds
{
    int threads = 0;            // decoder and encoder threads; 0: ffmpeg's own choice
    long long outputBytes = 0;  // the MP4 stops growing here; 0: no bound
};

struct Attempt
{
    Tier tier = Tier::CopyBoth;
    int video = -1;           // input stream index (raw tiers: the only stream)
    int audio = -1;           // -1: no audio in this attempt
    bool copyVideo = false;
    bool copyAudio = false;
    bool hevcTag = false;     // "hvc1", what Apple players need for HEVC
    bool deinterlace = false;
    // Timestamps as recorded: a gap stays a gap. Off, ffmpeg closes jumps of the clock
    // (needed when it runs backwards).
    bool keepClock = true;
    bool deepProbe = false;   // read further before deciding (long keyframe intervals)
    // The recording carries no presentation times and has B-frames: frames are re-timed
    // one after another at the stream's rate and re-encoded.
    bool rebuildTimes = false;
    bool interlacedCopy = false;  // an interlaced picture copied as it is
    // Bytes reserved for the index before the media data; 0: ffmpeg moves it there after.
    long long indexRoom = 0;
    RunBounds bounds;
    // The recording was cut short: a packet the file holds only in part is left out (it
    // would reach the MP4 and not decode).
    bool dropPartialPackets = false;
    // The sound read from a file of its own (the recording's AMR frames as a plain AMR
    // stream), UTF-8; "" reads it from the recording.
    std::string audioInput;
    std::string method;       // one line: what is tried and why
    std::string done;         // for the result line: "remuxed without quality loss", ...

    bool ReadsRaw() const { return tier == Tier::RawH264 || tier == Tier::RawHevc; }
};
