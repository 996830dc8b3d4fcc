// The first look at a source's own bytes (playlists, scripts, text behind ID3 tags).
#include "source/SourceSniffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SourceSniffer::RefusalOf(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
