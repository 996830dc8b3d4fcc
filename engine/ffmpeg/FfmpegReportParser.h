#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// One input stream as ffmpeg's report describes it.
struct StreamInfo
{
    int index = -1;           // N in "Stream #0:N"
    std::string kind;         // "video", "audio", "subtitle", "data", "attachment", "unknown"
    std::string codec;        // "h264", "aac", "none", ...
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = -1;        // -1 when the report names no layout
    bool interlaced = false;
    double fps = 0;           // "25 fps"; 0 when not stated
    bool attachedPicture = false;
    long long frames = -1;           // from the recording's own index; -1 unknown
    bool parametersMissing = false;  // "Could not find codec parameters for stream N"
    std::vector<int> programs;       // programmes listing the stream (empty: none)
    std::string tag;                 // the container's name for its codec ("gpmd", "tmcd"); "" none
    std::string details;             // the report's text after "Video: " etc.

    bool DecodableAudio() const;
    bool UsableVideo() const;
    // A video stream whose picture size ffmpeg did not find.
    bool PictureMissing() const;
};

// Reads ffmpeg's log (stderr, UTF-8, one line at a time): the banner's version, the input
// report (format, length, programmes, streams), the output stream count, the stream
// mapping, ffmpeg's reason for a failure and whether it could not write its output.
class FfmpegReportParser
{
public:
    explicit FfmpegReportParser(const std::string& outputName = std::string());

    void AddLine(const std::string& line);

    int MajorVersion() const { return m_major; }        // 0 when no banner was seen
    // "-fps_mode" came with ffmpeg 5.1 (libavcodec 59.37); snapshot builds name no
    // version, so the library line decides. True when the banner was not seen.
    bool HasFpsMode() const;
    bool InputOpened() const { return m_inputSeen; }
    bool InputReportComplete() const { return m_inputComplete; }
    const std::string& InputFormat() const { return m_format; }
    double Duration() const { return m_duration; }      // seconds, < 0 when unknown
    // The recording's own "creation_time" ("" when it states none).
    const std::string& CreationTime() const { return m_creationTime; }
    // The timecode it starts at ("" none), its own or a stream's.
    const std::string& Timecode() const { return m_timecode; }
    // Its own metadata (not its streams'): key and value, as the report lists them.
    const std::vector<std::pair<std::string, std::string>>& Tags() const { return m_tags; }
    // A video stream came without its parameters (picture size): ffmpeg did not read far
    // enough to find a keyframe, or the stream carries nothing.
    bool VideoParametersMissing() const;
    const std::vector<StreamInfo>& Streams() const { return m_streams; }
    const StreamInfo* Stream(int index) const;

    const std::vector<int>& MappedInputs() const { return m_mapped; }
    // True once as many mapping lines arrived as the output report listed streams.
    bool MappingComplete() const;

    // ffmpeg's most telling error line ("" when there was none).
    std::string Reason() const;
    // The recording's clock ran backwards ("non monotonically increasing dts").
    bool ClockTrouble() const { return m_clockTrouble; }
    // The index did not fit the room kept for it before the media data.
    bool IndexRoomTooSmall() const { return m_indexRoomTooSmall; }
    // Packets the decoder could not use ("Error while decoding stream ...").
    int DecodeErrors() const { return m_decodeErrors; }
    // The input declares more streams than ffmpeg was allowed to open (-max_streams).
    bool TooManyStreams() const { return m_tooManyStreams; }
    // Lines ffmpeg wrote: under "-v error", its complaints.
    int Lines() const { return m_lines; }
    // ... of them about what reached a muxer (a null muxer's too), not about the data.
    int MuxerLines() const { return m_muxerLines; }
    // The fields trace_headers printed, each at its largest value ("name[i]" as "name").
    const std::map<std::string, long long>& HeaderFields() const { return m_headerFields; }
    bool WriteError() const { return !m_writeError.empty(); }
    const std::string& WriteErrorLine() const { return m_writeError; }

private:
    void ParseStream(const std::string& text);
    void ParseHeaderField(const std::string& text);
    static std::string StripContext(const std::string& line);
    static bool LooksLikeError(const std::string& line);
    static bool IsGenericError(const std::string& line);

    enum Section { Banner, InputReport, OutputReport, Mapping, Running };

    std::string m_outputName;
    Section m_section = Banner;
    int m_major = 0;
    int m_lavcMajor = 0;
    int m_lavcMinor = 0;
    bool m_inputSeen = false;
    bool m_inputComplete = false;
    std::string m_format;
    double m_duration = -1;
    std::string m_creationTime;
    std::string m_timecode;
    std::vector<std::pair<std::string, std::string>> m_tags;
    bool m_tagsDone = false;
    int m_program = -1;
    std::vector<StreamInfo> m_streams;
    std::set<int> m_missingParameters;
    int m_outputStreams = 0;
    bool m_outputSeen = false;
    std::vector<int> m_mapped;
    std::vector<std::string> m_errors;
    std::string m_writeError;
    bool m_clockTrouble = false;
    bool m_indexRoomTooSmall = false;
    bool m_tooManyStreams = false;
    int m_decodeErrors = 0;
    std::map<std::string, long long> m_headerFields;
    int m_lines = 0;
    int m_muxerLines = 0;
};
