#include "conversion/StreamChooser.h"

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
            else
                why = "another audio track was taken";
        } else if (s.kind == "subtitle") {
            why = "subtitles";
        } else {
            why = "not audio or video";
        }
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
