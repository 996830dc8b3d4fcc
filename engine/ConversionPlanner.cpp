#include "ConversionPlanner.h"

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

void Tail(std::vector<std::string>& args, const std::string& output)
{
    Append(args, {"-sn", "-dn", "-max_muxing_queue_size", "4096", "-f", "mp4"});
    args.push_back(output);
}

} // namespace

bool ConversionPlanner::VideoFitsMp4(const std::string& codec)
{
    return codec == "h264" || codec == "hevc";
}

bool ConversionPlanner::AudioFitsMp4(const std::string& codec)
{
    return codec == "aac" || codec == "mp3";
}

std::vector<Attempt> ConversionPlanner::RawAttempts()
{
    std::vector<Attempt> list;
    Attempt a;
    a.tier = Tier::RawH264;
    a.video = 0;
    a.copyVideo = true;
    a.method = "raw H.264 read past an unknown header: video only, speed taken from the stream";
    a.done = "raw H.264 copied; video only, speed taken from the stream";
    list.push_back(a);
    a.tier = Tier::RawHevc;
    a.hevcTag = true;
    a.method = "raw HEVC read past an unknown header: video only, speed taken from the stream";
    a.done = "raw HEVC copied; video only, speed taken from the stream";
    list.push_back(a);
    return list;
}

std::vector<Attempt> ConversionPlanner::Plan(const std::vector<StreamInfo>& streams,
                                             const StreamChoice& choice, const std::string& inputFormat)
{
    std::vector<Attempt> list;
    const StreamInfo* v = nullptr;
    const StreamInfo* a = nullptr;
    for (const StreamInfo& s : streams) {
        if (s.index == choice.video)
            v = &s;
        if (s.index == choice.audio)
            a = &s;
    }
    if (!v && !a)
        return RawAttempts();

    bool rawInput = inputFormat == "h264" || inputFormat == "hevc";
    const std::string rawNote = rawInput ? "; video only, speed taken from the stream" : "";
    bool vcopy = !v || VideoFitsMp4(v->codec);
    bool acopy = !a || AudioFitsMp4(a->codec);
    std::string vname = v ? v->codec : std::string();
    std::string aname = a ? a->codec : std::string();

    Attempt base;
    base.video = choice.video;
    base.audio = choice.audio;
    base.hevcTag = v && v->codec == "hevc";

    if (vcopy && acopy) {
        Attempt t = base;
        t.tier = Tier::CopyBoth;
        t.copyVideo = t.copyAudio = true;
        std::string what = v && a ? vname + " and " + aname + " fit" : (v ? vname : aname) + " fits";
        t.method = "remux, streams copied (" + what + " MP4)" + rawNote;
        t.done = "remuxed without quality loss" + rawNote;
        list.push_back(t);
    }
    if (v && vcopy && a) {
        Attempt t = base;
        t.tier = Tier::CopyVideoAudioToAac;
        t.copyVideo = true;
        t.method = "video copied, audio converted to AAC (" +
                   (acopy ? "copying both failed" : aname + " does not fit MP4") + ")" + rawNote;
        t.done = "video copied without quality loss, audio " + aname + " converted to AAC" + rawNote;
        list.push_back(t);
    }
    if (!v && a) {
        Attempt t = base;
        t.tier = Tier::CopyVideoAudioToAac;
        t.method = "audio converted to AAC (" + (acopy ? "copying failed" : aname + " does not fit MP4") + ")";
        t.done = "audio " + aname + " converted to AAC";
        list.push_back(t);
    }
    if (v) {
        Attempt t = base;
        t.tier = Tier::Reencode;
        t.deinterlace = v->interlaced;
        t.hevcTag = false;
        std::string why = vcopy ? "copying failed" : vname + " does not fit MP4";
        t.method = std::string("re-encoding to H.264") + (a ? " + AAC" : "") + " (" + why + ")" +
                   (t.deinterlace ? ", deinterlaced" : "") + ", frame timing kept" + rawNote;
        t.done = std::string("converted ") + vname + (a ? " + " + aname : std::string()) +
                 " to H.264" + (a ? " + AAC" : "") + (t.deinterlace ? ", deinterlaced" : "") + rawNote;
        list.push_back(t);
        if (a) {
            Attempt o = base;
            o.tier = Tier::VideoOnly;
            o.audio = -1;
            o.copyVideo = vcopy;
            o.deinterlace = !vcopy && v->interlaced;
            o.method = "video only: the audio (" + aname + ") could not be converted" + rawNote;
            o.done = std::string(vcopy ? "video copied without quality loss" : "video converted to H.264") +
                     "; the audio could not be converted and was left out" + rawNote;
            list.push_back(o);
        }
    }
    if (!v || rawInput) {
        // Vendor files that ffmpeg half-recognises: the forced raw readers come last.
        for (const Attempt& r : RawAttempts())
            list.push_back(r);
    }
    return list;
}

std::vector<std::string> ConversionPlanner::FirstRunArguments(const std::string& source,
                                                              const std::string& output)
{
    std::vector<std::string> args = Head(true);
    Append(args, {"-fflags", "+genpts", "-dts_delta_threshold", "100000", "-i"});
    args.push_back(source);
    Append(args, {"-c", "copy"});
    Tail(args, output);
    return args;
}

std::vector<std::string> ConversionPlanner::MeasureArguments(const Attempt& t, const std::string& source)
{
    std::vector<std::string> args = Head(false);
    Append(args, {"-fflags", "+genpts"});
    if (t.keepClock)
        Append(args, {"-dts_delta_threshold", "100000"});
    args.push_back("-i");
    args.push_back(source);
    for (int index : {t.video, t.audio}) {
        if (index >= 0) {
            args.push_back("-map");
            args.push_back(MapArg(index));
        }
    }
    Append(args, {"-c", "copy", "-f", "null", "-"});
    return args;
}

std::vector<std::string> ConversionPlanner::Arguments(const Attempt& t, const std::string& source,
                                                      const std::string& output, bool hasFpsMode)
{
    std::vector<std::string> args = Head(false);
    if (t.tier == Tier::RawH264)
        Append(args, {"-f", "h264"});
    else if (t.tier == Tier::RawHevc)
        Append(args, {"-f", "hevc"});
    Append(args, {"-fflags", "+genpts"});
    if (t.keepClock)
        Append(args, {"-dts_delta_threshold", "100000"});
    args.push_back("-i");
    args.push_back(source);
    if (t.video >= 0) {
        args.push_back("-map");
        args.push_back(MapArg(t.video));
    }
    if (t.audio >= 0) {
        args.push_back("-map");
        args.push_back(MapArg(t.audio));
    } else {
        args.push_back("-an");
    }
    if (t.video >= 0) {
        if (t.copyVideo) {
            Append(args, {"-c:v", "copy"});
            if (t.hevcTag)
                Append(args, {"-tag:v", "hvc1"});
        } else {
            // 4:2:0 needs even sizes: the scale only trims an odd line or column.
            std::string filter = t.deinterlace ? "yadif=0:-1:0," : "";
            filter += "scale=trunc(iw/2)*2:trunc(ih/2)*2";
            Append(args, {"-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-pix_fmt", "yuv420p",
                          "-vf"});
            args.push_back(filter);
            // Frames keep their own times: a gap stays a gap instead of repeated frames.
            if (hasFpsMode)
                Append(args, {"-fps_mode", "passthrough"});
            else
                Append(args, {"-vsync", "passthrough"});
        }
    }
    if (t.audio >= 0) {
        if (t.copyAudio)
            Append(args, {"-c:a", "copy"});
        else
            Append(args, {"-c:a", "aac", "-b:a", "128k"});
    }
    Tail(args, output);
    return args;
}
