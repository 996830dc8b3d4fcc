#include "rebuild/SameCameraRecording.h"

#include "mp4/Mp4Inspector.h"
#include "mp4/SampleEntries.h"

#include <algorithm>

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
    for (const Mp4Track& t : index.Summary().tracks) {
        if (!video && t.handler == "vide" && t.timescale > 0 && t.sampleDelta > 0 && !t.sampleEntry.empty()) {
            bool avc = t.format == "avc1" || t.format == "avc3";
            bool hevc = t.format == "hvc1" || t.format == "hev1";
            if (!avc && !hevc)
                continue;
            out.codec = avc ? VideoCodec::H264 : VideoCodec::Hevc;
            out.nalLengthSize = t.nalLengthSize;
            out.videoEntry = t.sampleEntry;
            out.videoTimescale = t.timescale;
            out.frameTicks = t.sampleDelta;
            out.videoMatrix = t.matrix;
            out.width = t.width;
            out.height = t.height;
            video = out.nalLengthSize > 0 && !out.DecoderConfig().empty();
        } else if (out.soundFormat.empty() && t.handler == "soun") {
            out.soundFormat = t.format;
            static const char* const fixedSize[] = {"ulaw", "alaw", "sowt", "twos", "raw ", "lpcm", "in24", "in32"};
            bool fixed = std::find_if(std::begin(fixedSize), std::end(fixedSize),
                                      [&t](const char* f) { return t.format == f; }) != std::end(fixedSize);
            if (fixed && t.sampleSize > 0 && t.timescale > 0 && t.sampleDelta > 0) {
                out.soundEntry = t.sampleEntry;
                out.soundTimescale = t.timescale;
                out.soundFrameTicks = t.sampleDelta;
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
