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
// Subtitles, data and a timecode track only where `t` keeps them (ffmpeg makes a timecode
// track from the source's timecode despite -dn); metadata keys (a phone's place, make and
// model) where the recording has them.
void Tail(std::vector<std::string>& args, const std::string& output, long long indexRoom, const RunBounds& bounds,
          const Attempt* t = nullptr)
{
    bool subtitles = false, data = false;
    for (const KeptStream& k : t ? t->kept : std::vector<KeptStream>()) {
        subtitles = subtitles || k.kind == "subtitle";
        data = data || k.kind == "data";
    }
    if (!subtitles)
        args.push_back("-sn");
    if (!data)
        args.push_back("-dn");
    Append(args, {"-write_tmcd", t && t->timecode ? "1" : "0", "-max_muxing_queue_size", "4096"});
    std::string flags = indexRoom > 0 ? "" : "+faststart";
    if (t && t->metadataKeys) {
        // Written as keys, the source's file-type fields would say "qt" in an MP4.
        flags += "+use_metadata_tags";
        Append(args, {"-metadata", "major_brand=", "-metadata", "minor_version=", "-metadata", "compatible_brands="});
    }
    if (t && !t->location.empty()) {
        args.push_back("-metadata");
        args.push_back("location=" + t->location);
    }
    if (bounds.outputBytes > 0) {
        args.push_back("-fs");
        args.push_back(std::to_string(bounds.outputBytes));
    }
    if (indexRoom > 0) {
        args.push_back("-moov_size");
        args.push_back(std::to_string(indexRoom));
    }
    if (!flags.empty()) {
        args.push_back("-movflags");
        args.push_back(flags);
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
    // The other tracks after the main picture and sound, each with its own way (the last
    // option matching an output stream is the one ffmpeg takes).
    int out = (t.video >= 0 ? 1 : 0) + (t.audio >= 0 ? 1 : 0);
    for (const KeptStream& k : t.kept) {
        std::string n = std::to_string(out++);
        for (const std::string& a : {std::string("-map"), MapArg(k.index), "-c:" + n, k.codec})
            args.push_back(a);
        if (k.codec == "aac")
            for (const std::string& a : {"-b:" + n, std::string("128k")})
                args.push_back(a);
        if (!k.tag.empty())
            for (const std::string& a : {"-tag:" + n, k.tag})
                args.push_back(a);
    }
    Tail(args, output, t.indexRoom, t.bounds, &t);
    return args;
}
