// Stands in for ffmpeg.exe in the engine's flow tests. QM_FAKE_MODE picks what it does:
// "remux" prints ffmpeg 5.1's report for a 3 s H.264/AAC TS and copies QM_FAKE_MP4 to the
// output; "short" does the same for a recording said to last a minute; "diskfull" stops
// with ffmpeg's disk-full message; "hang" never ends; "hog" takes memory until it is
// stopped (or refused); "bomb" writes on and on, as a recording that repeats one picture
// for days; "badend" and "badboth" complain when decoding the end of the MP4 (and of the
// recording too), "muxerend" has the null muxer complain there (a clip shorter than a second); "huge" reports pictures no camera writes; "clockonce" stops its first run
// on a clock that runs backwards. Every start adds a line to QM_FAKE_COUNT. A run to the null muxer
// reports as far as the stated length.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    char mode[32] = "", mp4[MAX_PATH] = "", count[MAX_PATH] = "";
    GetEnvironmentVariableA("QM_FAKE_MODE", mode, sizeof mode);
    GetEnvironmentVariableA("QM_FAKE_MP4", mp4, sizeof mp4);
    GetEnvironmentVariableA("QM_FAKE_COUNT", count, sizeof count);
    bool firstRun = true;
    if (count[0]) {
        FILE* f = std::fopen(count, "r");
        if (f) {
            firstRun = std::fgetc(f) == EOF;
            std::fclose(f);
        }
        f = std::fopen(count, "a");
        if (f) {
            std::fputs("run\n", f);
            std::fclose(f);
        }
    }
    std::string m = mode;
    if (m == "hang")
        Sleep(INFINITE);
    bool quiet = false;   // "-v error": errors only
    for (int i = 1; i + 1 < argc; ++i)
        quiet = quiet || (std::strcmp(argv[i], "-v") == 0 && std::strcmp(argv[i + 1], "error") == 0);
    if (!quiet) {
        std::fprintf(stderr, "ffmpeg version 5.1.9 Copyright (c) 2000-2026 the FFmpeg developers\n"
                             "Input #0, mpegts, from 'in.ksm':\n"
                             "  Duration: %s, start: 1.400000, bitrate: 292 kb/s\n"
                             "  Program 1 \n"
                             "  Stream #0:0[0x100]: Video: h264 (High) ([27][0][0][0] / 0x001B), yuv420p(progressive), "
                             "%s, 25 fps, 25 tbr, 90k tbn\n"
                             "  Stream #0:1[0x101]: Audio: aac (LC) ([15][0][0][0] / 0x000F), 48000 Hz, mono, fltp\n",
                     m == "short" ? "00:01:00.00" : "00:00:03.00", m == "huge" ? "20000x20000" : "320x240");
        std::fprintf(stderr, "Output #0, mp4, to 'out.mp4':\n"
                             "  Stream #0:0: Video: h264 (High) (avc1 / 0x31637661), yuv420p(progressive), 320x240\n"
                             "  Stream #0:1: Audio: aac (LC) (mp4a / 0x6134706D), 48000 Hz, mono, fltp\n"
                             "Stream mapping:\n"
                             "  Stream #0:0 -> #0:0 (copy)\n"
                             "  Stream #0:1 -> #0:1 (copy)\n");
    }
    std::fflush(stderr);
    if (m == "hog") {
        for (int i = 0; i < 40; ++i) {   // 2.5 GB, more than a 32-bit process gets
            void* block = VirtualAlloc(nullptr, 64 << 20, MEM_COMMIT, PAGE_READWRITE);
            if (!block)
                return 1;   // the system's limit, as ffmpeg fails an allocation
            memset(block, i + 1, 64 << 20);
            Sleep(30);
        }
        Sleep(INFINITE);
    }
    if (m == "bomb") {
        for (long long i = 1;; ++i) {
            std::printf("frame=%lld\nout_time=00:%02lld:00.000000\ntotal_size=%lld\nprogress=continue\n", i * 10,
                        i % 60, i * (100LL << 20));
            std::fflush(stdout);
            Sleep(50);
        }
    }
    if (m == "clockonce" && firstRun) {
        std::fprintf(stderr, "[mp4 @ 0x1] Application provided invalid, non monotonically increasing dts to muxer "
                             "in stream 0: 1200 >= 1100\n"
                             "av_interleaved_write_frame(): Invalid argument\n");
        return 1;
    }
    if (m == "diskfull") {
        std::fprintf(stderr, "av_interleaved_write_frame(): No space left on device\n"
                             "Error writing trailer of out.mp4: No space left on device\n");
        return 1;
    }
    if (std::string(argv[argc - 1]) == "-") {   // reading through to the null muxer
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "-sseof") != 0)
                continue;
            while (i + 1 < argc && std::strcmp(argv[i], "-i") != 0)
                ++i;
            bool mp4 = i + 1 < argc && std::strstr(argv[i + 1], "\\output") != nullptr;   // an attempt's MP4
            if (m == "badboth" || (m == "badend" && mp4))
                std::fprintf(stderr, "[h264 @ 0x1] Invalid NAL unit size (512 > 100).\n");
            if (m == "muxerend" && mp4)
                std::fprintf(stderr, "[null @ 0x2] Application provided invalid, non monotonically increasing dts "
                                     "to muxer in stream 0: 3 >= 2\n");
        }
        std::printf("frame=1500\nout_time=00:01:00.000000\nprogress=end\n");
        return 0;
    }
    if (!CopyFileA(mp4, argv[argc - 1], FALSE))
        return 1;
    std::printf("out_time=00:00:03.000000\ntotal_size=300000\nprogress=end\n");
    return 0;
}
