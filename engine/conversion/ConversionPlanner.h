#pragma once

#include "ffmpeg/FfmpegReportParser.h"
#include "conversion/StreamChooser.h"

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

// Orders the attempts, cheapest first, and writes each one's ffmpeg arguments.
class ConversionPlanner
{
public:
    // streams/format/choice from the input report; inputIsRaw: ffmpeg itself read the
    // source as a raw H.264/HEVC stream.
    static std::vector<Attempt> Plan(const std::vector<StreamInfo>& streams, const StreamChoice& choice,
                                     const std::string& inputFormat);
    static std::vector<Attempt> RawAttempts();
    // The attempt again with the video re-encoded and its frames re-timed.
    static Attempt TimesRebuilt(const Attempt& attempt);
    // Room for the index of an MP4 holding these streams for `duration` seconds,
    // generous; 0 when the length is unknown. Never more than the source's size allows:
    // a stranger's file may claim any length.
    static long long IndexRoom(const StreamInfo* video, const StreamInfo* audio, double duration,
                               unsigned long long sourceBytes);
    // Before any report: room from the source's size.
    static long long IndexRoomForSize(unsigned long long sourceBytes);
    // The input formats ffmpeg may read: what cameras, recorders and phones write, nothing
    // that opens other files by name (playlists, concat scripts, image sequences).
    static const char* RecordingFormats();

    static bool VideoFitsMp4(const std::string& codec);
    // ffmpeg read the source as a bare H.264/HEVC stream: no length, no container times.
    static bool IsRawFormat(const std::string& inputFormat);
    static bool AudioFitsMp4(const std::string& codec);

    // The first run: ffmpeg's own stream selection, streams copied. It doubles as the
    // probe; the engine stops it when the report asks for something else.
    static std::vector<std::string> FirstRunArguments(const std::string& source, const std::string& output,
                                                      bool deepProbe, long long indexRoom,
                                                      const RunBounds& bounds = RunBounds());
    // Reads the attempt's streams through to the end without writing anything: the
    // progress report's last position is the length ffmpeg finds in the recording.
    static std::vector<std::string> MeasureArguments(const Attempt& attempt, const std::string& source);
    // Decodes one stream to nowhere: frames, or ffmpeg's "Error while decoding" for each
    // packet it cannot use, tell that the stream carries data.
    static std::vector<std::string> DecodeArguments(int index, const std::string& source,
                                                    const RunBounds& bounds = RunBounds());
    // Decodes the first frames of the MP4's video: ffmpeg complains when their times
    // run backwards.
    // Decodes the first and the last second of `streams` of `file` (all when empty) to
    // nowhere, telling errors only.
    // A whole file's video decoded, only errors reported.
    static std::vector<std::string> TrialDecodeArguments(const std::string& file, const RunBounds& bounds);
    static std::vector<std::string> EndsArguments(const std::string& file, const std::vector<int>& streams,
                                                  const RunBounds& bounds);
    // The copied video's parameter sets and first picture, printed field by field.
    static std::vector<std::string> HeadersArguments(const std::string& mp4, const RunBounds& bounds);
    static std::vector<std::string> TimesCheckArguments(const std::string& mp4,
                                                        const RunBounds& bounds = RunBounds());
    static std::vector<std::string> Arguments(const Attempt& attempt, const std::string& source,
                                              const std::string& output, bool hasFpsMode);
};
