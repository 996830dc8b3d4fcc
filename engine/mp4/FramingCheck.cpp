#include "mp4/FramingCheck.h"

#include "codec/AacFrameParser.h"
#include "codec/NalUnitReader.h"
#include "mp4/Mp4Inspector.h"
#include "mp4/SampleEntries.h"
#include "windows/DiskFile.h"

#include <cmath>
#include <vector>

namespace {

const uint32_t MostSampleBytes = 32u << 20;

// The samples of the first and the last `seconds`, by the track's average rate.
std::vector<size_t> EndSamples(const Mp4Track& track, size_t count, double seconds)
{
    double perSecond = track.duration > 0 ? count / track.duration : count;
    size_t n = static_cast<size_t>(std::ceil(perSecond * seconds)) + 1;
    std::vector<size_t> picked;
    for (size_t i = 0; i < count; ++i)
        if (i < n || i + n >= count)
            picked.push_back(i);
    return picked;
}

std::string VideoSamples(ByteSource& file, const Mp4Track& track, const std::vector<SampleSpan>& samples,
                         double seconds)
{
    bool avc = track.format == "avc1" || track.format == "avc3";
    NalUnitReader reader(avc ? VideoCodec::H264 : VideoCodec::Hevc, track.nalLengthSize);
    if (track.nalLengthSize < 1 || track.nalLengthSize > 4 ||
        !reader.TakeDecoderConfig(SampleEntries::DecoderConfig(track.sampleEntry, avc ? "avcC" : "hvcC")) ||
        !reader.HasParameterSets())
        return "its video settings hold no usable parameter sets";
    std::string data;
    for (size_t i : EndSamples(track, samples.size(), seconds)) {
        const SampleSpan& s = samples[i];
        if (s.size == 0 || s.size > MostSampleBytes || !file.ReadExactly(s.offset, s.size, data))
            return "picture " + std::to_string(i + 1) + " cannot be read whole";
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
        for (size_t at = 0; at < data.size();) {
            NalUnit unit;
            if (!reader.Read(p + at, data.size() - at, unit, false))
                return "picture " + std::to_string(i + 1) + " is not framed as its stream's NAL units";
            // Parameter sets repeated in the stream are what its later slices refer to.
            if ((avc && (unit.type == 7 || unit.type == 8)) || (!avc && unit.type >= 32 && unit.type <= 34))
                reader.TakeParameterSet(p + at + track.nalLengthSize, unit.size - track.nalLengthSize);
            at += unit.size;
        }
    }
    return std::string();
}

std::string SoundSamples(ByteSource& file, const Mp4Track& track, const std::vector<SampleSpan>& samples,
                         double seconds)
{
    AacFrameParser aac;
    if (!aac.Configure(track.audioSpecificConfig))
        return "its AAC settings are not ones a decoder takes";
    std::string head;
    for (size_t i : EndSamples(track, samples.size(), seconds)) {
        const SampleSpan& s = samples[i];
        if (s.size == 0 || s.size > MostSampleBytes || !file.ReadExactly(s.offset, s.size < 2 ? s.size : 2, head))
            return "sound frame " + std::to_string(i + 1) + " cannot be read";
        // A frame that still carries its ADTS header is not what MP4 holds.
        if (head.size() == 2 && static_cast<uint8_t>(head[0]) == 0xFF && (static_cast<uint8_t>(head[1]) & 0xF0) == 0xF0)
            return "sound frame " + std::to_string(i + 1) + " carries an ADTS header";
    }
    return std::string();
}

} // namespace

std::string FramingCheck::Ends(ByteSource& mp4, double seconds)
{
    Mp4Inspector index;
    if (!index.Inspect(mp4))
        return index.Problem();
    const std::vector<Mp4Track> tracks = index.Summary().tracks;
    for (size_t t = 0; t < tracks.size(); ++t) {
        const Mp4Track& track = tracks[t];
        if (track.handler != "vide" && track.handler != "soun")
            continue;   // telemetry, a timecode, text: no decoder of picture or sound meets them
        bool video = track.format == "avc1" || track.format == "avc3" || track.format == "hvc1" ||
                     track.format == "hev1";
        bool aac = track.format == "mp4a" && track.objectType == 0x40;
        if (!video && !aac)
            return "its " + track.format + " track is not one the engine reads itself";
        Mp4Inspector samples;
        samples.KeepSamplesOf(t);
        if (!samples.Inspect(mp4))
            return samples.Problem();
        std::string finding = video ? VideoSamples(mp4, track, samples.Samples(), seconds)
                                    : SoundSamples(mp4, track, samples.Samples(), seconds);
        if (!finding.empty())
            return finding;
    }
    return std::string();
}

std::string FramingCheck::Ends(const std::wstring& mp4, double seconds)
{
    DiskFile file;
    if (!file.OpenRead(mp4))
        return "the MP4 cannot be read";
    return Ends(file, seconds);
}
