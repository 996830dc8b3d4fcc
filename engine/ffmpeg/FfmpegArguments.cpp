#include "ffmpeg/FfmpegArguments.h"

#include "source/SourceBounds.h"

#include <cstdio>

namespace {

std::string MapArg(int index)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0:%d", index);
    return buf;
}

void Append(std::vector<std::string>& args, std::initializer_list<const char*> more)
{
    for (const char* a : more)
        args.push_back(a);
}

// What every run shares: no stdin, no statistics line, progress blocks on stdout.
std::vector<std::string> Head(bool banner)
{
    std::vector<std::string> args;
    if (!banner)
        args.push_back("-hide_banner");
    Append(args, {"-nostdin", "-y", "-nostats", "-progress", "pipe:1"});
    return args;
}

// Every input: only the formats cameras write, only the file itself (no other file or
// server a playlist or a reference inside it names), within bounds of streams and picture
// size, and a thread count that keeps a large picture's decoders within memory.
void Input(std::vector<std::string>& args, const std::string& source, const RunBounds& bounds)
{
    Append(args, {"-format_whitelist", FfmpegArguments::RecordingFormats(), "-protocol_whitelist", "file"});
    args.push_back("-max_streams");
    args.push_back(std::to_string(SourceBounds::MaxStreams));
    args.push_back("-max_pixels");
    args.push_back(std::to_string(SourceBounds::MaxPixels));
    if (bounds.threads > 0) {
        args.push_back("-threads");
        args.push_back(std::to_string(bounds.threads));
    }
    args.push_back("-i");
    args.push_back(source);
}

// Deep enough for a cut whose first keyframe comes many seconds in.
void Probe(std::vector<std::string>& args, bool deep)
{
    if (deep)
        Append(args, {"-analyzeduration", "120M", "-probesize", "256M"});
}

// The index goes before the media data, so a player or a web page can start at once:
// into room kept free for it (no second pass over the file), or moved there afterwards.
// No timecode track: ffmpeg makes one from the source's timecode despite -dn.
void Tail(std::vector<std::string>& args, const std::string& output, long long indexRoom, const RunBounds& bounds)
{
    Append(args, {"-sn", "-dn", "-write_tmcd", "0", "-max_muxing_queue_size", "4096"});
    if (bounds.outputBytes > 0) {
        args.push_back("-fs");
        args.push_back(std::to_string(bounds.outputBytes));
    }
    if (indexRoom > 0) {
        args.push_back("-moov_size");
        args.push_back(std::to_string(indexRoom));
    } else {
        Append(args, {"-movflags", "+faststart"});
    }
    Append(args, {"-f", "mp4"});
    args.push_back(output);
}

} // namespace

const char* FfmpegArguments::RecordingFormats()
{
    // Containers (MP4/MOV/3GP, Matroska/WebM, MPEG-TS/M2TS, MPEG-PS/VOB, AVI, ASF/WMV, FLV,
    // MXF, DV), the raw video streams the engine reads, DVR formats (Dahua, IFV, Mobotix)
    // and audio-only recordings. tools/build-ffmpeg builds ffmpeg with the same list.
    return "mov,matroska,mpegts,mpeg,mpegvideo,avi,asf,flv,mxf,dv,h264,hevc,m4v,mjpeg,mpjpeg,dhav,ifv,mxg,"
           "wav,alaw,mulaw,g726,g726le,amr,amrnb,amrwb,aac,mp3";
}

std::vector<std::string> FfmpegArguments::FirstRun(const std::string& source, const std::string& output,
                                                              bool deepProbe, long long indexRoom,
                                                              const RunBounds& bounds)
{
    std::vector<std::string> args = Head(true);
    Probe(args, deepProbe);
    Append(args, {"-fflags", "+genpts", "-dts_delta_threshold", "100000"});
    Input(args, source, bounds);
    Append(args, {"-c", "copy"});
    Tail(args, output, indexRoom, bounds);
    return args;
}

std::vector<std::string> FfmpegArguments::Decode(int index, const std::string& source,
                                                            const RunBounds& bounds)
{
    std::vector<std::string> args = Head(false);
    Probe(args, true);
    Input(args, source, bounds);
    args.push_back("-map");
    args.push_back(MapArg(index));
    Append(args, {"-f", "null", "-"});
    return args;
}

std::vector<std::string> FfmpegArguments::TrialDecode(const std::string& file, const RunBounds& bounds)
{
    std::vector<std::string> args = Head(false);
    Append(args, {"-v", "error"});
    Input(args, file, bounds);
    Append(args, {"-map", "0:v", "-f", "null", "-"});
    return args;
}

std::vector<std::string> FfmpegArguments::Ends(const std::string& file, const std::vector<int>& streams,
                                                          const RunBounds& bounds)
{
    std::vector<std::string> args = Head(false);
    Append(args, {"-v", "error"});
    Append(args, {"-t", "1"});   // the first second
    Input(args, file, bounds);
    Append(args, {"-sseof", "-1"});   // the last
    Input(args, file, bounds);
    for (const char* input : {"0", "1"}) {
        if (streams.empty())
            Append(args, {"-map", input});
        for (int s : streams) {
            args.push_back("-map");
            args.push_back(std::string(input) + ":" + std::to_string(s));
        }
    }
    Append(args, {"-f", "null", "-"});
    return args;
}

std::vector<std::string> FfmpegArguments::Headers(const std::string& mp4, const RunBounds& bounds)
{
    std::vector<std::string> args = Head(false);
    Input(args, mp4, bounds);
    Append(args, {"-map", "0:v:0", "-c", "copy", "-bsf:v", "trace_headers", "-frames:v", "1", "-f", "null", "-"});
    return args;
}

std::vector<std::string> FfmpegArguments::TimesCheck(const std::string& mp4, const RunBounds& bounds)
{
    std::vector<std::string> args = Head(false);
    Input(args, mp4, bounds);
    Append(args, {"-map", "0:v:0", "-frames:v", "120", "-f", "null", "-"});
    return args;
}

std::vector<std::string> FfmpegArguments::Measure(const Attempt& t, const std::string& source)
{
    std::vector<std::string> args = Head(false);
    Probe(args, t.deepProbe);
    Append(args, {"-fflags", "+genpts"});
    if (t.keepClock)
        Append(args, {"-dts_delta_threshold", "100000"});
    Input(args, source, t.bounds);
    for (int index : {t.video, t.audio}) {
        if (index >= 0) {
            args.push_back("-map");
            args.push_back(MapArg(index));
        }
    }
    Append(args, {"-c", "copy", "-f", "null", "-"});
    return args;
}

std::vector<std::string> FfmpegArguments::ForAttempt(const Attempt& t, const std::string& source,
                                                      const std::string& output, bool hasFpsMode)
{
    std::vector<std::string> args = Head(false);
    if (t.tier == Tier::RawH264)
        Append(args, {"-f", "h264"});
    else if (t.tier == Tier::RawHevc)
        Append(args, {"-f", "hevc"});
    Probe(args, t.deepProbe);
    Append(args, {"-fflags", t.dropPartialPackets ? "+genpts+discardcorrupt" : "+genpts"});
    if (t.keepClock)
        Append(args, {"-dts_delta_threshold", "100000"});
    Input(args, source, t.bounds);
    if (t.audio >= 0 && !t.audioInput.empty())
        Input(args, t.audioInput, t.bounds);
    if (t.video >= 0) {
        args.push_back("-map");
        args.push_back(MapArg(t.video));
    }
    if (t.audio >= 0) {
        args.push_back("-map");
        args.push_back(t.audioInput.empty() ? MapArg(t.audio) : "1:a:0");
    } else {
        args.push_back("-an");
    }
    if (t.video >= 0) {
        if (t.copyVideo) {
            Append(args, {"-c:v", "copy"});
            if (t.hevcTag)
                Append(args, {"-tag:v", "hvc1"});
        } else {
            // 4:2:0 needs even sizes: an odd last line or column is cropped (a scale would
            // change the pixel aspect).
            std::string filter = t.rebuildTimes ? "setpts=N/FRAME_RATE/TB," : "";
            filter += t.deinterlace ? "yadif=0:-1:0," : "";
            filter += "crop=trunc(iw/2)*2:trunc(ih/2)*2:0:0";
            Append(args, {"-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-pix_fmt", "yuv420p",
                          "-vf"});
            args.push_back(filter);
            // Frames keep their own times: a gap stays a gap instead of repeated frames.
            // Re-timed frames go through vfr: passthrough lets the encoder give two of
            // them one time.
            const char* mode = t.rebuildTimes ? "vfr" : "passthrough";
            args.push_back(hasFpsMode ? "-fps_mode" : "-vsync");
            args.push_back(mode);
            if (t.bounds.threads > 0) {
                args.push_back("-threads");
                args.push_back(std::to_string(t.bounds.threads));
            }
        }
    }
    if (t.audio >= 0) {
        if (t.copyAudio)
            Append(args, {"-c:a", "copy"});
        else
            Append(args, {"-c:a", "aac", "-b:a", "128k"});
    }
    Tail(args, output, t.indexRoom, t.bounds);
    return args;
}
