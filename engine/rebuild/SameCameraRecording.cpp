#include "rebuild/SameCameraRecording.h"

#include "mp4/Mp4Inspector.h"
#include "mp4/SampleEntries.h"
#include "bytes/BigEndian.h"
#include "windows/DiskFile.h"

#include <algorithm>

namespace {

const size_t MostShapes = 6;
const uint32_t MostShapeBytes = 1u << 16;   // timed metadata of a second; not a second picture stream

} // namespace

std::string CameraSettings::DecoderConfig() const
{
    return SampleEntries::DecoderConfig(videoEntry, codec == VideoCodec::H264 ? "avcC" : "hvcC");
}

bool SameCameraRecording::SettingsOf(const std::wstring& path, CameraSettings& out,
                                     const std::function<bool()>& stillWanted)
{
    Mp4Inspector index;
    index.WhileWanted(stillWanted);
    if (!index.InspectFile(path))
        return false;
    out = CameraSettings();
    out.from = path;
    bool video = false;
    const std::vector<Mp4Track>& tracks = index.Summary().tracks;
    for (size_t i = 0; i < tracks.size(); ++i) {
        const Mp4Track& t = tracks[i];
        bool main = (t.handler == "vide" && !video) || (t.handler == "soun" && out.soundFormat.empty());
        if (!main && t.samples > 0 && out.others.size() < MostShapes) {
            SampleShape shape = ShapeOf(path, i, t, stillWanted);
            if (shape.fixedSize > 0 || shape.boxes || shape.gpmf)
                out.others.push_back(shape);
            continue;
        }
        if (!video && t.handler == "vide" && t.timescale > 0 && t.sampleDelta > 0 && !t.sampleEntry.empty()) {
            bool avc = t.format == "avc1" || t.format == "avc3";
            bool hevc = t.format == "hvc1" || t.format == "hev1";
            if (!avc && !hevc)
                continue;
            out.codec = avc ? VideoCodec::H264 : VideoCodec::Hevc;
            out.nalLengthSize = t.nalLengthSize;
            out.videoEntry = t.sampleEntry;
            out.videoTimescale = t.timescale;
            out.frameTicks = t.typicalDelta ? t.typicalDelta : t.sampleDelta;
            out.videoMatrix = t.matrix;
            out.videoDelay = t.editDelay;
            out.videoLanguage = t.language;
            out.videoHandlerName = t.handlerName;
            out.width = t.width;
            out.height = t.height;
            video = out.nalLengthSize > 0 && !out.DecoderConfig().empty();
        } else if (out.soundFormat.empty() && t.handler == "soun") {
            out.soundFormat = t.format;
            out.soundDelay = t.editDelay;
            out.soundLanguage = t.language;
            out.soundHandlerName = t.handlerName;
            static const char* const fixedSize[] = {"ulaw", "alaw", "sowt", "twos", "raw ", "lpcm", "in24", "in32"};
            bool fixed = std::find_if(std::begin(fixedSize), std::end(fixedSize),
                                      [&t](const char* f) { return t.format == f; }) != std::end(fixedSize);
            if (fixed && t.sampleSize > 0 && t.timescale > 0 && t.sampleDelta > 0) {
                out.soundEntry = t.sampleEntry;
                out.soundTimescale = t.timescale;
                out.soundFrameTicks = t.typicalDelta ? t.typicalDelta : t.sampleDelta;
                out.soundSampleBytes = t.sampleSize;
                out.soundChunkSamples = t.chunkSamples;
            }
            if (t.format == "mp4a" && t.objectType == 0x40 && t.timescale > 0 && t.sampleDelta > 0) {
                out.audioSpecificConfig = t.audioSpecificConfig;
                if (!out.audioSpecificConfig.empty()) {
                    out.soundEntry = t.sampleEntry;
                    out.soundTimescale = t.timescale;
                    out.soundFrameTicks = t.sampleDelta;
                    out.soundSkip = t.editSkip;
                }
            }
        }
    }
    return video;
}

SampleShape SameCameraRecording::ShapeOf(const std::wstring& path, size_t track, const Mp4Track& t,
                                         const std::function<bool()>& stillWanted)
{
    SampleShape shape;
    shape.format = t.format;
    shape.fixedSize = t.sampleSize <= MostShapeBytes ? t.sampleSize : 0;
    shape.largest = std::min(t.largestSample, MostShapeBytes);
    shape.gpmf = t.format == "gpmd" && shape.fixedSize == 0;
    if (t.timescale > 0 && !t.sampleEntry.empty()) {
        shape.sampleEntry = t.sampleEntry;
        shape.handler = t.handler;
        shape.handlerName = t.handlerName;
        shape.language = t.language;
        shape.timescale = t.timescale;
        shape.ticks = t.typicalDelta ? t.typicalDelta : t.sampleDelta;
        shape.whole = t.samples == 1;
    }
    if (shape.gpmf)
        return shape;
    Mp4Inspector index;
    index.WhileWanted(stillWanted);
    index.KeepSamplesOf(track);
    DiskFile file;
    if (shape.fixedSize > 0 || t.largestSample > MostShapeBytes || !index.InspectFile(path) || !file.OpenRead(path, false))
        return shape;
    // Its first samples: each a run of boxes (keys of timed metadata), and the keys they use.
    shape.boxes = !index.Samples().empty();
    for (size_t i = 0; i < index.Samples().size() && i < 8 && shape.boxes; ++i) {
        std::string sample;
        if (!file.ReadExactly(index.Samples()[i].offset, index.Samples()[i].size, sample))
            return SampleShape();
        size_t at = 0;
        while (at + 8 <= sample.size() && shape.keys.size() < 64) {
            uint32_t size = BigEndian::Be32(sample, at);
            if (size < 8 || size > sample.size() - at)
                break;
            if (shape.keys.find(sample.substr(at + 4, 4)) == std::string::npos)
                shape.keys += sample.substr(at + 4, 4);
            at += size;
        }
        shape.boxes = at == sample.size();
    }
    if (!shape.boxes)
        shape.keys.clear();
    return shape;
}
