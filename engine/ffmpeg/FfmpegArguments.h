#pragma once

#include "ffmpeg/Attempt.h"

#include <string>
#include <vector>

// Every ffmpeg command line the engine runs: the attempts' and the checks'. Every input is
// read within the recording's bounds and only as the formats cameras write.
class FfmpegArguments
{
public:
    // The input formats ffmpeg may read: what cameras, recorders and phones write, nothing
    // that opens other files by name (playlists, concat scripts, image sequences).
    static const char* RecordingFormats();
    // The first run: ffmpeg's own stream selection, streams copied. It doubles as the
    // probe; the engine stops it when the report asks for something else.
    static std::vector<std::string> FirstRun(const std::string& source, const std::string& output,
                                                      bool deepProbe, long long indexRoom,
                                                      const RunBounds& bounds = RunBounds());
    // Reads the attempt's streams through to the end without writing anything: the
    // progress report's last position is the length ffmpeg finds in the recording.
    static std::vector<std::string> Measure(const Attempt& attempt, const std::string& source);
    // Decodes one stream to nowhere: frames, or ffmpeg's "Error while decoding" for each
    // packet it cannot use, tell that the stream carries data.
    static std::vector<std::string> Decode(int index, const std::string& source,
                                                    const RunBounds& bounds = RunBounds());
    // A whole file's video decoded, only errors reported.
    static std::vector<std::string> TrialDecode(const std::string& file, const RunBounds& bounds);
    // Decodes the first and the last second of `streams` of `file` (all when empty) to
    // nowhere, telling errors only.
    static std::vector<std::string> Ends(const std::string& file, const std::vector<int>& streams,
                                                  const RunBounds& bounds);
    // The copied video's parameter sets and first picture, printed field by field.
    static std::vector<std::string> Headers(const std::string& mp4, const RunBounds& bounds);
    // Decodes the first frames of the MP4's video: ffmpeg complains when their times
    // run backwards.
    static std::vector<std::string> TimesCheck(const std::string& mp4,
                                                        const RunBounds& bounds = RunBounds());
    static std::vector<std::string> ForAttempt(const Attempt& attempt, const std::string& source,
                                              const std::string& output, bool hasFpsMode);
};
