#include "conversion/ConversionPlanner.h"

#include "source/SourceBounds.h"

#include <cstdio>



bool ConversionPlanner::VideoFitsMp4(const std::string& codec)
{
    return codec == "h264" || codec == "hevc" || codec == "av1";
}

bool ConversionPlanner::IsRawFormat(const std::string& inputFormat)
{
    return inputFormat == "h264" || inputFormat == "hevc";
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

Attempt ConversionPlanner::TimesRebuilt(const Attempt& attempt)
{
    Attempt again = attempt;
    again.copyVideo = false;
    again.hevcTag = false;
    again.interlacedCopy = false;
    again.rebuildTimes = true;
    again.method = "re-encoding the video to H.264: the recording gives its B-frames no presentation times, "
                   "so copied they would play out of order";
    again.done = "video re-encoded to H.264 with its frames re-timed (B-frames without presentation times)" +
                 std::string(again.audio >= 0 ? (again.copyAudio ? ", audio copied" : ", audio converted to AAC")
                                              : "");
    return again;
}

long long ConversionPlanner::IndexRoom(const StreamInfo* video, const StreamInfo* audio, double duration,
                                       unsigned long long sourceBytes)
{
    if (duration <= 0)
        return 0;
    // Per second: the video's frames (60 when not stated) and an audio packet per ~1000
    // samples; per sample up to 24 bytes of tables.
    double samples = (video ? (video->fps > 0 ? video->fps : 60) : 0) +
                     (audio ? (audio->sampleRate > 0 ? audio->sampleRate / 1000.0 : 50) + 1 : 0);
    double room = duration * samples * 24 + 16 * 1024;
    // A real recording holds at least a few bytes per sample; a room larger than that
    // allows comes from a claimed length, not from the file.
    double most = static_cast<double>(sourceBytes) * 3 + 64 * 1024;
    return static_cast<long long>(room < most ? room : most);
}

long long ConversionPlanner::IndexRoomForSize(unsigned long long sourceBytes)
{
    return static_cast<long long>(sourceBytes / 200) + 32 * 1024;
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

    bool rawInput = IsRawFormat(inputFormat);
    const std::string rawNote = rawInput ? "; video only, speed taken from the stream" : "";
    bool vcopy = !v || VideoFitsMp4(v->codec);
    bool acopy = !a || AudioFitsMp4(a->codec);
    std::string vname = v ? v->codec : std::string();
    std::string aname = a ? a->codec : std::string();

    Attempt base;
    base.video = choice.video;
    base.audio = choice.audio;
    base.hevcTag = v && v->codec == "hevc";
    base.interlacedCopy = v && v->interlaced && vcopy;
    base.kept = choice.kept;
    base.notKept = choice.notKept;
    const std::string interlacedNote = base.interlacedCopy ? ", interlaced as recorded" : "";

    if (vcopy && acopy) {
        Attempt t = base;
        t.tier = Tier::CopyBoth;
        t.copyVideo = t.copyAudio = true;
        std::string what = v && a ? vname + " and " + aname + " fit" : (v ? vname : aname) + " fits";
        t.method = "remux, streams copied (" + what + " MP4)" + rawNote;
        t.done = "remuxed without quality loss" + interlacedNote + rawNote;
        list.push_back(t);
    }
    if (v && vcopy && a) {
        Attempt t = base;
        t.tier = Tier::CopyVideoAudioToAac;
        t.copyVideo = true;
        t.method = "video copied, audio converted to AAC (" +
                   (acopy ? "copying both failed" : aname + " does not fit MP4") + ")" + rawNote;
        t.done = "video copied without quality loss" + interlacedNote + ", audio " + aname + " converted to AAC" +
                 rawNote;
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
        t.interlacedCopy = false;
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
            o.kept.clear();
            for (const KeptStream& k : choice.kept)
                if (k.kind != "audio")
                    o.kept.push_back(k);
            o.copyVideo = vcopy;
            o.deinterlace = !vcopy && v->interlaced;
            o.interlacedCopy = vcopy && v->interlaced;
            o.method = "video only: the audio (" + aname + ") could not be converted" + rawNote;
            o.done = std::string(vcopy ? "video copied without quality loss" + interlacedNote : "video converted to H.264") +
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
