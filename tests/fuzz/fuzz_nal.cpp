// The H.264/HEVC NAL reader as the media-data walk drives it. Input: [flags:1][config
// length:2 big-endian][avcC/hvcC payload][length-prefixed NAL units]; flags bit 0 = HEVC,
// bits 1-2 = NAL length size - 1.
#include "bytes/BigEndian.h"
#include "codec/NalUnitReader.h"
#include "mp4/SampleEntries.h"
#include "rebuild/SameCameraRecording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    VideoCodec codec = data[0] & 1 ? VideoCodec::Hevc : VideoCodec::H264;
    int lengthSize = ((data[0] >> 1) & 3) + 1;
    size_t configLength = std::min<size_t>(BigEndian::Read(data + 1, 2), size - 3);
    NalUnitReader reader(codec, lengthSize);
    reader.TakeDecoderConfig(std::string(reinterpret_cast<const char*>(data) + 3, configLength));
    const uint8_t* units = data + 3 + configLength;
    size_t n = size - 3 - configLength;
    for (size_t at = 0; at < n;) {
        NalUnit unit, loose;
        bool strict = reader.Read(units + at, n - at, unit);
        if (!strict && !reader.Read(units + at, n - at, loose, false)) {
            ++at;   // as the walk does past damage
            continue;
        }
        const NalUnit& u = strict ? unit : loose;
        const uint8_t* nal = units + at + lengthSize;
        bool parameterSet = codec == VideoCodec::H264 ? u.type == 7 || u.type == 8 : u.type >= 32 && u.type <= 34;
        if (parameterSet)   // as a stream that repeats its parameter sets is read
            reader.TakeParameterSet(nal, u.size - lengthSize);
        if (u.picture && u.startsPicture) {
            reader.SecondField(u);
            reader.TakePicture(u);
        }
        at += u.size;
    }
    // The sample entry made of what the stream carried reads back.
    CameraSettings made;
    made.codec = codec;
    made.videoEntry = codec == VideoCodec::H264
                          ? SampleEntries::AvcEntry(reader.RawParameterSets(), reader.Width(), reader.Height())
                          : SampleEntries::HevcEntry(reader.RawParameterSets(), reader.Width(), reader.Height());
    NalUnitReader again(codec, 4);
    again.TakeDecoderConfig(made.DecoderConfig());
    return 0;
}
