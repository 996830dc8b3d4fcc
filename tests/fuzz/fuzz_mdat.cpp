// The media-data walk of a recording without its index, and the index written for what it
// found, read back by the box reader. Input: [flags:1][fixed sound bytes:2][sound samples per
// chunk:2][AudioSpecificConfig:2][timescale:2][ticks per picture:2][config length:2]
// [avcC/hvcC][media data]; flags bit 0 = HEVC, bits 1-2 = NAL length size - 1, bit 3 = AAC.
#include "bytes/BigEndian.h"
#include "rebuild/MdatScanner.h"
#include "bytes/MemoryFile.h"
#include "mp4/Mp4Inspector.h"
#include "rebuild/MoovWriter.h"
#include "rebuild/PictureTimes.h"
#include "mp4/SampleEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t head = 15;
    if (size < head)
        return 0;
    const uint8_t flags = data[0];
    VideoCodec codec = flags & 1 ? VideoCodec::Hevc : VideoCodec::H264;
    std::string specific(reinterpret_cast<const char*>(data) + 5, 2);
    uint32_t timescale = static_cast<uint32_t>(BigEndian::Read(data + 7, 2));
    uint32_t ticks = static_cast<uint32_t>(BigEndian::Read(data + 9, 2));
    size_t configLength = std::min<size_t>(BigEndian::Read(data + 11, 2), size - head);
    NalUnitReader video(codec, ((flags >> 1) & 3) + 1);
    video.TakeDecoderConfig(std::string(reinterpret_cast<const char*>(data) + head, configLength));
    AacFrameParser aac;
    bool sound = (flags & 8) && aac.Configure(specific);
    std::string media(reinterpret_cast<const char*>(data) + head + configLength, size - head - configLength);
    MemoryFile recording(media), copy;
    MdatScanner scan(video, sound ? &aac : nullptr, static_cast<uint32_t>(BigEndian::Read(data + 1, 2)),
                     static_cast<uint32_t>(BigEndian::Read(data + 3, 2)));
    // Telemetry a finished recording describes is listed again; the rest only stepped over.
    SampleShape telemetry;
    telemetry.format = "gpmd";
    telemetry.gpmf = true;
    telemetry.sampleEntry = std::string("\0\0\0\x10" "gpmd\0\0\0\0\0\0\0\x01", 16);
    telemetry.handler = "meta";
    telemetry.timescale = 1000;
    telemetry.ticks = 1001;
    scan.StepOver({telemetry});
    if (!scan.Scan(recording, 0, media.size(), 0, &copy, MdatScanner::Progress()))
        return 0;
    if (copy.Size() > media.size())
        __builtin_trap();   // the copy holds what was walked, never more
    std::string soundConfig;
    MoovWriter::Track pictures(&scan.Video(), true, SampleEntries::AvcEntry(video.RawParameterSets(), 64, 64),
                               timescale, ticks);
    pictures.width = pictures.height = 64;
    MoovWriter::Track frames(&scan.Sound(), false,
                             SampleEntries::AacEntry(aac.SampleRateIndex(), aac.Channels(), soundConfig), 48000, 1024);
    frames.skip = 2048;
    // Held pictures, as the sound around them tells.
    pictures.durations = PictureTimes::Durations(scan.Video(), timescale, ticks,
                                                 PictureTimes::Sound{&scan.Sound(), 1024.0 / 48000, 0.188});
    std::string ftyp("\0\0\0\x10" "ftypisom\0\0\0\0", 16);
    std::string mdat;
    BigEndian::Put(mdat, 8 + copy.Size(), 4);
    mdat += "mdat";
    Mp4Inspector rebuilt;
    MoovWriter::Track gpmd(&scan.Others()[0], false, telemetry.sampleEntry, 1000, 1001);
    gpmd.handler = "meta";
    rebuilt.InspectBytes(ftyp + mdat + copy.Bytes() +
                         MoovWriter::Moov(pictures, frames, 0, ftyp.size() + 8, std::vector<MoovWriter::Track>{gpmd}));
    return 0;
}
