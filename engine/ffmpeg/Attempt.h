#pragma once

#include <string>
#include <vector>

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

// A track kept beside the main picture and sound: telemetry, another sound track, subtitles.
struct KeptStream
{
    int index = -1;            // input stream
    std::string kind;          // "audio", "data", "subtitle"
    std::string codec;         // what ffmpeg writes: "copy", or an encoder ("aac", "mov_text")
    std::string tag;           // the MP4 sample entry to name it with ("gpmd"); "" ffmpeg's own
    std::string name;          // for the result line: "GPS/telemetry (gpmd)"
    long long samples = -1;    // in the recording's own index; -1 unknown
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
    // Beside the main picture and sound: other tracks, the timecode (a track of its own), the
    // recording's metadata keys (a phone's place, make, model), its place also as ©xyz.
    std::vector<KeptStream> kept;
    std::vector<std::string> notKept;   // what the camera recorded that MP4 cannot carry, and why
    bool timecode = false;
    bool metadataKeys = false;
    std::string location;
    std::string method;       // one line: what is tried and why
    std::string done;         // for the result line: "remuxed without quality loss", ...

    bool ReadsRaw() const { return tier == Tier::RawH264 || tier == Tier::RawHevc; }
    // For the result line: "GPS/telemetry (gpmd), timecode"; "" for nothing beyond picture and sound.
    std::string KeptNames() const
    {
        std::string names;
        for (const KeptStream& k : kept)
            names += (names.empty() ? "" : ", ") + k.name;
        if (timecode)
            names += names.empty() ? "timecode" : ", timecode";
        return names;
    }
};
