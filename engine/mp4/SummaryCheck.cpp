#include "mp4/SummaryCheck.h"

#include "windows/TextFormat.h"

#include <cmath>
#include <cstdio>

bool SummaryCheck::LengthMatches(double actual, double expected)
{
    double tolerance = expected * 0.02;
    if (tolerance < 1.0)
        tolerance = 1.0;
    return std::fabs(actual - expected) <= tolerance;
}

std::string SummaryCheck::Verify(const Mp4Summary& mp4, const ResultExpectation& expected)
{
    const Mp4Track* video = nullptr;
    const Mp4Track* audio = nullptr;
    for (const Mp4Track& t : mp4.tracks) {
        if (t.handler == "vide" && !video)
            video = &t;
        if (t.handler == "soun" && !audio)
            audio = &t;
    }
    if (expected.video && !video)
        return "the MP4 holds no video";
    if (expected.audio && !audio)
        return "the MP4 holds no audio";
    if (expected.video && video->samples == 0)
        return "the MP4's video track is empty";
    if (expected.audio && audio->samples == 0)
        return "the MP4's audio track is empty";
    // Judged by what was read, not by a length: a phone's 0.1 s clip is a recording, a
    // single sample without any length is what is left of one cut after its headers.
    uint64_t samples = (video ? video->samples : 0) + (audio ? audio->samples : 0);
    if ((expected.video || expected.audio) && (samples < 2 || mp4.duration <= 0))
        return "the MP4 holds no more than one sample: nothing usable was read from the recording";
    if (expected.duration > 0 && !LengthMatches(mp4.duration, expected.duration))
        return "the MP4 is " + TextFormat::Clock(mp4.duration) + " long, the recording " +
               TextFormat::Clock(expected.duration);
    // Each stream on its own: a video cut short under a full-length audio track makes a
    // file of the right length.
    if (expected.duration > 0) {
        if (expected.video && !LengthMatches(video->duration, expected.duration))
            return "the MP4's video is " + TextFormat::Clock(video->duration) + " long, the recording " +
                   TextFormat::Clock(expected.duration);
        if (expected.audio && !LengthMatches(audio->duration, expected.duration))
            return "the MP4's audio is " + TextFormat::Clock(audio->duration) + " long, the recording " +
                   TextFormat::Clock(expected.duration);
    }
    // The sound covers its track: every AAC frame holds 1024 samples, so frames far fewer
    // than the track's length asks for are sound stretched over holes a player meets as
    // silence. A recording's own gap shows as one long sample and is kept as it is.
    if (expected.audio && audio->format == "mp4a" && (audio->objectType == 0x40 || audio->objectType == 0) &&
        audio->sampleRate > 0 && audio->longestSample <= 1.0) {
        double sound = static_cast<double>(audio->samples) * 1024 / audio->sampleRate;
        if (sound + 1.0 < audio->duration * 0.9) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "the MP4's audio holds %.1f s of sound stretched over %.1f s", sound,
                          audio->duration);
            return buf;
        }
    }
    return std::string();
}

std::string SummaryCheck::VerifyAgainstContent(const Mp4Summary& mp4, double contentSeconds, long long frames)
{
    if (frames > 0) {
        // Frames, not time: a kept gap makes the MP4 longer than the content, a lost part
        // makes it hold fewer frames; passing frames through never adds any.
        const Mp4Track* video = nullptr;
        for (const Mp4Track& t : mp4.tracks)
            if (t.handler == "vide" && !video)
                video = &t;
        unsigned long long have = video ? video->samples : 0;
        if (have * 100 + 200 < static_cast<unsigned long long>(frames) * 98)
            return "the MP4 holds " + std::to_string(have) + " video frames, the recording " + std::to_string(frames);
        if (have * 100 > static_cast<unsigned long long>(frames) * 105 + 200)
            return "the MP4 holds " + std::to_string(have) + " video frames, the recording only " +
                   std::to_string(frames) + " (frames repeated)";
        return std::string();
    }
    if (contentSeconds > 0 && !LengthMatches(mp4.duration, contentSeconds))
        return "the MP4 is " + TextFormat::Clock(mp4.duration) + " long, the recording holds " +
               TextFormat::Clock(contentSeconds);
    return std::string();
}

std::string SummaryCheck::CodecName(const Mp4Track& track)
{
    const std::string& format = track.format;
    // "mp4a" holds MP3 as well; its esds tells.
    if (format == "mp4a" && (track.objectType == 0x69 || track.objectType == 0x6B))
        return "MP3";
    if (format == "avc1" || format == "avc3")
        return "H.264";
    if (format == "hvc1" || format == "hev1")
        return "HEVC";
    if (format == "av01")
        return "AV1";
    if (format == "mp4a")
        return "AAC";
    if (format == ".mp3")
        return "MP3";
    return format;
}

std::string SummaryCheck::Describe(const Mp4Summary& mp4)
{
    std::string parts;
    for (const Mp4Track& t : mp4.tracks) {
        char buf[96];
        if (t.handler == "vide")
            std::snprintf(buf, sizeof buf, "%s %dx%d", CodecName(t).c_str(), t.width, t.height);
        else if (t.handler == "soun")
            std::snprintf(buf, sizeof buf, "%s %.1f kHz", CodecName(t).c_str(), t.sampleRate / 1000.0);
        else
            continue;
        if (!parts.empty())
            parts += " + ";
        parts += buf;
    }
    return parts + ", " + TextFormat::Size(mp4.fileSize) + ", " + TextFormat::Clock(mp4.duration);
}
