#include "conversion/StreamChooser.h"

#include "conversion/ConversionPlanner.h"

#include <cstdio>

bool StreamChooser::ShareProgramme(const StreamInfo& a, const StreamInfo& b)
{
    // A stream outside any programme (most containers) goes with anything.
    if (a.programs.empty() || b.programs.empty())
        return true;
    for (int p : a.programs)
        for (int q : b.programs)
            if (p == q)
                return true;
    return false;
}

std::string StreamChooser::WhyNotAudio(const StreamInfo& s)
{
    if (s.codec == "none" || s.codec == "unknown")
        return "unknown codec";
    if (s.channels == 0)
        return "0 channels, declared without data";
    if (s.parametersMissing || s.sampleRate <= 0)
        return "declared without data";
    return "not decodable";
}

namespace {

const size_t MostKept = 8;

} // namespace

bool StreamChooser::Keep(const StreamInfo& s, KeptStream& kept, std::string& why)
{
    kept.index = s.index;
    kept.kind = s.kind;
    kept.codec = "copy";
    if (s.kind == "audio") {
        // A second microphone, a recorder's other channels: as the main sound is.
        bool fits = ConversionPlanner::AudioFitsMp4(s.codec);
        kept.codec = fits ? "copy" : "aac";
        kept.name = "another sound track (" + s.codec + (fits ? ")" : ", as AAC)");
        return true;
    }
    if (s.kind == "subtitle") {
        static const char* const text[] = {"mov_text", "subrip", "srt", "ass", "ssa", "webvtt", "text"};
        for (const char* t : text)
            if (s.codec == t) {
                kept.codec = s.codec == "mov_text" ? "copy" : "mov_text";
                kept.name = "subtitles (" + s.codec + (s.codec == "mov_text" ? ")" : ", as MP4 text)");
                return true;
            }
        why = "subtitles drawn as pictures, which MP4 players do not show";
        return false;
    }
    if (s.kind == "data" && s.tag == "gpmd") {
        kept.tag = "gpmd";
        kept.name = "GPS/telemetry (gpmd)";
        return true;
    }
    if (s.kind == "data" && s.tag != "tmcd")
        why = "a track ffmpeg cannot write into MP4";
    return false;
}

StreamChoice StreamChooser::Choose(const std::vector<StreamInfo>& streams)
{
    StreamChoice choice;
    // The recording moves: a one-frame track (a motion photo's still, a thumbnail) is the
    // main video only when nothing else is, whatever its size.
    const StreamInfo* video = nullptr;
    for (const StreamInfo& s : streams) {
        if (!s.UsableVideo())
            continue;
        bool moving = s.frames != 1, videoMoving = video && video->frames != 1;
        if (!video || (moving && !videoMoving) ||
            (moving == videoMoving && static_cast<long long>(s.width) * s.height >
                                          static_cast<long long>(video->width) * video->height))
            video = &s;
    }
    const StreamInfo* audio = nullptr;
    for (const StreamInfo& s : streams)
        if (!audio && s.DecodableAudio() && (!video || ShareProgramme(*video, s)))
            audio = &s;
    if (video)
        choice.video = video->index;
    if (audio)
        choice.audio = audio->index;

    for (const StreamInfo& s : streams) {
        if (&s == video || &s == audio)
            continue;
        std::string why;
        if (s.kind == "video") {
            if (s.attachedPicture || s.frames == 1)
                why = "a still picture";
            else if (!s.UsableVideo())
                why = "declared without data";
            else if (video && s.width == video->width && s.height == video->height)
                why = "a second video of the same picture size; the first was taken";
            else
                why = "smaller picture than the main video";
        } else if (s.kind == "audio") {
            if (!s.DecodableAudio())
                why = WhyNotAudio(s);
            else if (video && !ShareProgramme(*video, s))
                why = "belongs to another programme";
        } else if (video && !ShareProgramme(*video, s)) {
            why = "belongs to another programme";
        }
        KeptStream kept;
        if (why.empty() && s.kind != "video" && (video || audio) && choice.kept.size() < MostKept) {
            if (Keep(s, kept, why)) {
                choice.kept.push_back(kept);
                continue;
            }
            if (!why.empty())
                choice.notKept.push_back(s.kind + " " + (s.tag.empty() ? s.codec : s.tag) + ": " + why);
        }
        if (s.kind == "data" && s.tag == "tmcd")
            continue;   // the timecode: written again from the recording's own
        if (why.empty())
            why = s.kind == "audio" ? "more sound tracks than an MP4 is given" : "not audio or video";
        char buf[32];
        std::snprintf(buf, sizeof buf, "#0:%d (", s.index);
        std::string desc = s.kind + " " + s.codec;
        if (s.kind == "video" && s.width > 0) {
            char size[32];
            std::snprintf(size, sizeof size, " %dx%d", s.width, s.height);
            desc += size;
        }
        choice.leftOut.push_back(buf + desc + ", " + why + ")");
    }
    return choice;
}
