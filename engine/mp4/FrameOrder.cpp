#include "mp4/FrameOrder.h"

#include "bytes/BigEndian.h"
#include "codec/BitReader.h"

#include "windows/DiskFile.h"

#include <algorithm>

namespace {

long long Field(const std::map<std::string, long long>& fields, const char* name)
{
    auto it = fields.find(name);
    return it == fields.end() ? -1 : it->second;
}

} // namespace

FrameOrder::Answer FrameOrder::FromParameterSets(const std::map<std::string, long long>& fields)
{
    long long hevc = Field(fields, "sps_max_num_reorder_pics");
    if (hevc >= 0)
        return hevc > 0 ? Reordered : InOrder;
    long long profile = Field(fields, "profile_idc");
    if (profile < 0)
        return Unknown;
    if (Field(fields, "bitstream_restriction_flag") == 1)
        return Field(fields, "max_num_reorder_frames") > 0 ? Reordered : InOrder;
    // Baseline has no B slices; the intra profiles no references at all.
    bool intra = profile == 44 || (Field(fields, "constraint_set3_flag") == 1 &&
                                   (profile == 100 || profile == 110 || profile == 122 || profile == 244));
    return profile == 66 || intra ? InOrder : Unknown;
}

int FrameOrder::SliceType(const std::string& nal)
{
    if (nal.empty())
        return -1;
    int type = static_cast<unsigned char>(nal[0]) & 0x1F;
    if (type != 1 && type != 5)
        return -1;
    std::string payload = BitReader::Unescaped(reinterpret_cast<const uint8_t*>(nal.data()) + 1, nal.size() - 1, nal.size());
    BitReader bits(payload);
    bits.Ue();   // first_mb_in_slice
    long sliceType = static_cast<long>(bits.Ue());
    if (!bits.Ok())
        return -1;
    return sliceType > 9 ? -1 : static_cast<int>(sliceType % 5);
}

FrameOrder::Answer FrameOrder::FromSlices(ByteSource& file, const std::vector<SampleSpan>& samples,
                                          int lengthSize)
{
    if (lengthSize < 1 || lengthSize > 4 || samples.empty())
        return Unknown;
    const uint32_t head = 16;   // the NAL header and a slice header's first fields
    std::string bytes;
    for (const SampleSpan& sample : samples) {
        uint32_t pos = 0;
        while (pos + lengthSize < sample.size) {
            uint32_t want = std::min<uint32_t>(head + lengthSize, sample.size - pos);
            if (!file.ReadExactly(sample.offset + pos, want, bytes))
                return Unknown;
            uint32_t length = static_cast<uint32_t>(BigEndian::Read(bytes, 0, lengthSize));
            int type = SliceType(bytes.substr(lengthSize, length));
            if (type == 1)
                return Reordered;
            if (type >= 0)
                break;   // a picture's slices are of one kind in what cameras write
            if (length == 0 || length > sample.size - pos - lengthSize)
                break;
            pos += lengthSize + length;
        }
    }
    return InOrder;
}

FrameOrder::Answer FrameOrder::FromSlices(const std::wstring& mp4)
{
    Mp4Inspector index;
    index.KeepSamplesOf(0);   // the engine's MP4s map the video first
    if (!index.InspectFile(mp4))
        return Unknown;
    int lengthSize = index.Summary().tracks[0].nalLengthSize;
    DiskFile file;
    return file.OpenRead(mp4) ? FromSlices(file, index.Samples(), lengthSize) : Unknown;
}
