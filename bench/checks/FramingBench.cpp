// The engine's own reading of a copy's start and end (what spares a decode of them): the
// median of several readings of one MP4, in milliseconds, and what it found.

#include "mp4/FramingCheck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: framing_bench <mp4>\n");
        return 2;
    }
    const char* path = argv[1];   // the bench's own files: plain ASCII paths
    std::vector<double> ms;
    std::string finding;
    for (int i = 0; i < 5; ++i) {
        auto start = std::chrono::steady_clock::now();
        finding = FramingCheck::Ends(std::wstring(path, path + std::strlen(path)));
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.1f ms%s%s\n", ms[ms.size() / 2], finding.empty() ? "" : ": ", finding.c_str());
    return 0;
}
