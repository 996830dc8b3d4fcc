// ffmpeg's log as the engine reads it, one line at a time, and every answer asked of it.
#include "ffmpeg/FfmpegReportParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FfmpegReportParser report("output.mp4");
    std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        report.AddLine(text.substr(at, end - at));
        at = end + 1;
    }
    report.HasFpsMode();
    report.VideoParametersMissing();
    report.MappingComplete();
    report.Reason();
    for (const StreamInfo& s : report.Streams()) {
        s.DecodableAudio();
        s.UsableVideo();
        s.PictureMissing();
        report.Stream(s.index);
    }
    return 0;
}
