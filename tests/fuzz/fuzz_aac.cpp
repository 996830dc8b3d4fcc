// The AAC frame parser walking raw frames. Input: [AudioSpecificConfig:2][frames].
#include "codec/AacFrameParser.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    AacFrameParser aac;
    if (!aac.Configure(std::string(reinterpret_cast<const char*>(data), 2)))
        return 0;
    for (size_t at = 2; at < size;) {
        size_t length = aac.FrameLength(data + at, size - at);
        if (length > size - at)
            __builtin_trap();   // a frame never ends past the bytes it was given
        at += length > 0 ? length : 1;
    }
    return 0;
}
