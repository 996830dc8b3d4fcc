// The MP4 read back by its boxes, and what counts as a finished conversion.

#include "TestKit.h"

#include "bytes/MemoryFile.h"
#include "mp4/FramingCheck.h"
#include "mp4/Mp4Inspector.h"
#include "mp4/Mp4TimeStamp.h"
#include "mp4/SummaryCheck.h"

#include <windows.h>

#include <cstdint>

namespace {

std::string ReadAll(const std::string& name)
{
    std::string path = std::string(ENGINE_TEST_DATA) + "/" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string data;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        data.append(buf, got);
    CloseHandle(h);
    return data;
}

std::string Be32(uint32_t v)
{
    std::string s(4, '\0');
    s[0] = static_cast<char>(v >> 24);
    s[1] = static_cast<char>(v >> 16);
    s[2] = static_cast<char>(v >> 8);
    s[3] = static_cast<char>(v);
    return s;
}

std::string Box(const char* type, const std::string& payload)
{
    return Be32(static_cast<uint32_t>(payload.size() + 8)) + type + payload;
}

// A minimal MP4 with one video track: 'samples' samples of 10 bytes, 'seconds' long.
std::string HandMade(uint32_t samples, double seconds, uint32_t chunkOffset = 40)
{
    std::string mdhd = Box("mdhd", Be32(0) + Be32(0) + Be32(0) + Be32(1000) +
                                       Be32(static_cast<uint32_t>(seconds * 1000)) + Be32(0));
    std::string hdlr = Box("hdlr", Be32(0) + Be32(0) + "vide" + std::string(12, '\0') + "v");
    std::string entry = Be32(86) + "avc1" + std::string(6, '\0') + std::string("\0\1", 2) +
                        std::string(16, '\0') + std::string("\x01\x40\x00\xf0", 4) + std::string(50, '\0');
    std::string stsd = Box("stsd", Be32(0) + Be32(1) + entry);
    std::string stsz = Box("stsz", Be32(0) + Be32(10) + Be32(samples));
    std::string stco = Box("stco", Be32(0) + Be32(1) + Be32(chunkOffset));
    std::string trak = Box("trak", Box("mdia", mdhd + hdlr + Box("minf", Box("stbl", stsd + stsz + stco))));
    std::string ftyp = Box("ftyp", "isom" + Be32(512));
    std::string mdat = Box("mdat", std::string((samples ? samples : 1) * 10, 'x'));
    return ftyp + mdat + Box("moov", trak);
}

} // namespace

TEST_CASE(mp4_made_by_ffmpeg_reads_back_with_its_streams_and_length)
{
    if (!ENGINE_TEST_HAVE_SAMPLES)
        return;
    for (const char* name : {"av.mp4", "faststart.mp4"}) {
        Mp4Inspector mp4;
        REQUIRE(mp4.InspectBytes(ReadAll(name)));
        const Mp4Summary& s = mp4.Summary();
        REQUIRE(s.tracks.size() == 2);
        CHECK_EQ(s.tracks[0].handler, "vide");
        CHECK_EQ(s.tracks[0].format, "avc1");
        CHECK_EQ(s.tracks[0].width, 320);
        CHECK_EQ(s.tracks[0].height, 240);
        CHECK_EQ(s.tracks[0].samples, 75ULL);
        CHECK_EQ(s.tracks[1].handler, "soun");
        CHECK_EQ(s.tracks[1].format, "mp4a");
        CHECK_EQ(s.tracks[1].sampleRate, 48000);
        CHECK(s.duration > 2.9 && s.duration < 3.2);
        ResultExpectation both;
        both.video = both.audio = true;
        both.duration = 3.0;
        CHECK_EQ(SummaryCheck::Verify(s, both), "");
    }
    Mp4Inspector file;
    CHECK(file.InspectFile(L"" ENGINE_TEST_DATA L"/av.mp4"));
    CHECK_EQ(file.Summary().tracks.size(), 2u);
    CHECK(SummaryCheck::Describe(file.Summary()).find("+ AAC 48.0 kHz") != std::string::npos);

    // MP3 sits in an "mp4a" entry too: the result line names it as written.
    Mp4Inspector mp3;
    REQUIRE(mp3.InspectFile(L"" ENGINE_TEST_DATA L"/mp3.mp4"));
    std::string said = SummaryCheck::Describe(mp3.Summary());
    CHECK(said.find("+ MP3 44.1 kHz") != std::string::npos);
    CHECK(said.find("AAC") == std::string::npos);
}

TEST_CASE(cut_or_damaged_mp4_fails_the_check)
{
    if (ENGINE_TEST_HAVE_SAMPLES) {
        std::string whole = ReadAll("av.mp4");
        REQUIRE(whole.size() > 1000);
        // The index at the end: a cut anywhere loses or truncates it.
        for (size_t keep : {whole.size() - 1, whole.size() - 300, whole.size() / 2, static_cast<size_t>(20)}) {
            Mp4Inspector mp4;
            CHECK(!mp4.InspectBytes(whole.substr(0, keep)));
            CHECK(!mp4.Problem().empty());
        }
        // Index first: a cut loses media data the index points to.
        std::string fast = ReadAll("faststart.mp4");
        Mp4Inspector cutFast;
        CHECK(!cutFast.InspectBytes(fast.substr(0, fast.size() - 1000)));
    }
    Mp4Inspector good;
    CHECK(good.InspectBytes(HandMade(5, 2)));
    Mp4Inspector past;
    CHECK(!past.InspectBytes(HandMade(5, 2, 5000)));   // chunk beyond the end
    CHECK(past.Problem().find("past the end") != std::string::npos);
    Mp4Inspector empty;
    CHECK(!empty.InspectBytes(""));
    Mp4Inspector notMp4;
    CHECK(!notMp4.InspectBytes(std::string(64, '\0')));
}

TEST_CASE(check_wants_chosen_streams_with_samples_and_the_recordings_length)
{
    Mp4Inspector mp4;
    REQUIRE(mp4.InspectBytes(HandMade(5, 60)));
    ResultExpectation video;
    video.video = true;
    video.duration = 60.5;
    CHECK_EQ(SummaryCheck::Verify(mp4.Summary(), video), "");
    ResultExpectation withAudio = video;
    withAudio.audio = true;
    CHECK_EQ(SummaryCheck::Verify(mp4.Summary(), withAudio), "the MP4 holds no audio");
    ResultExpectation longer = video;
    longer.duration = 120;
    CHECK(SummaryCheck::Verify(mp4.Summary(), longer).find("0:01:00 long") != std::string::npos);

    // A recording whose clock jumps: its content, as ffmpeg reads it, is what counts.
    CHECK_EQ(SummaryCheck::VerifyAgainstContent(mp4.Summary(), 3, 5), "");
    CHECK_EQ(SummaryCheck::VerifyAgainstContent(mp4.Summary(), 3, 250), "the MP4 holds 5 video frames, the recording 250");
    CHECK(SummaryCheck::VerifyAgainstContent(mp4.Summary(), 3, 2).find("frames repeated") != std::string::npos);
    CHECK_EQ(SummaryCheck::VerifyAgainstContent(mp4.Summary(), 59.5, -1), "");
    CHECK(!SummaryCheck::VerifyAgainstContent(mp4.Summary(), 90, -1).empty());
    CHECK(!SummaryCheck::VerifyAgainstContent(mp4.Summary(), 30, -1).empty());

    Mp4Inspector blink;   // what is left of a recording cut after its headers
    REQUIRE(blink.InspectBytes(HandMade(1, 0)));
    CHECK(SummaryCheck::Verify(blink.Summary(), video).find("nothing usable") != std::string::npos);
    Mp4Inspector clip;    // a phone's short clip: three frames, 0.12 s
    REQUIRE(clip.InspectBytes(HandMade(3, 0.12)));
    ResultExpectation shortClip = video;
    shortClip.duration = 0.12;
    CHECK_EQ(SummaryCheck::Verify(clip.Summary(), shortClip), "");

    Mp4Inspector none;
    REQUIRE(none.InspectBytes(HandMade(0, 60)));
    CHECK_EQ(SummaryCheck::Verify(none.Summary(), video), "the MP4's video track is empty");

    // 2 % or 1 s, whichever is more.
    CHECK(SummaryCheck::LengthMatches(10.9, 10));
    CHECK(!SummaryCheck::LengthMatches(8.9, 10));
    CHECK(SummaryCheck::LengthMatches(3528, 3600));
    CHECK(!SummaryCheck::LengthMatches(3500, 3600));
}

TEST_CASE(each_stream_must_be_as_long_as_the_recording)
{
    // A video cut short under a full-length audio track: the file's length is right.
    Mp4Summary mp4;
    Mp4Track video, audio;
    video.handler = "vide";
    video.samples = 750;
    video.duration = 30;
    audio.handler = "soun";
    audio.samples = 2800;
    audio.duration = 60;
    mp4.tracks = {video, audio};
    mp4.duration = 60;
    ResultExpectation both;
    both.video = both.audio = true;
    both.duration = 60;
    CHECK_EQ(SummaryCheck::Verify(mp4, both), "the MP4's video is 0:00:30 long, the recording 0:01:00");
    mp4.tracks[0].duration = 59.6;
    mp4.tracks[1].duration = 40;
    CHECK(SummaryCheck::Verify(mp4, both).find("audio is 0:00:40") != std::string::npos);
}

TEST_CASE(mp4_times_are_set_in_place_and_the_index_first_is_seen)
{
    Mp4Inspector late;
    REQUIRE(late.InspectBytes(HandMade(5, 60)));
    CHECK(!late.Summary().indexFirst);
    if (ENGINE_TEST_HAVE_SAMPLES) {
        Mp4Inspector first;
        REQUIRE(first.InspectBytes(ReadAll("faststart.mp4")));
        CHECK(first.Summary().indexFirst);
    }

    // mvhd version 1 (64-bit times) and the track's mdhd version 0 (32-bit).
    std::string mvhd = Box("mvhd", std::string("\1\0\0\0", 4) + std::string(16, '\0') + Be32(1000) +
                                       std::string(8, '\0'));
    std::string file = HandMade(5, 60);
    std::string moov = file.substr(file.find("moov") - 4);
    std::string patched = Box("moov", mvhd + moov.substr(8));
    CHECK_EQ(Mp4TimeStamp::Patch(patched, 0x123456789ull), 1);   // too late for 32 bits
    const unsigned long long may2024 = 3797403630ull;            // 2024-05-01 10:20:30 UTC
    CHECK_EQ(Mp4TimeStamp::Patch(patched, may2024), 2);
    size_t mdhd = patched.find("mdhd") + 4;
    CHECK_EQ(patched.substr(mdhd + 4, 4), Be32(static_cast<uint32_t>(may2024)));
    CHECK_EQ(patched.substr(mdhd + 8, 4), Be32(static_cast<uint32_t>(may2024)));
    size_t v1 = patched.find("mvhd") + 4;
    CHECK_EQ(patched.substr(v1 + 4, 8), Be32(0) + Be32(static_cast<uint32_t>(may2024)));
    CHECK_EQ(patched.size(), moov.size() + mvhd.size());   // nothing moved
}

namespace {

// The offset of sample `which` (-1: the last) of the MP4's first track.
uint64_t VideoSampleAt(const std::string& mp4, int which)
{
    MemoryFile file(mp4);
    Mp4Inspector index;
    index.KeepSamplesOf(0);
    if (!index.Inspect(file) || index.Samples().empty())
        return 0;
    return index.Samples()[which < 0 ? index.Samples().size() - 1 : static_cast<size_t>(which)].offset;
}

} // namespace

TEST_CASE(a_copys_ends_are_read_for_their_framing)
{
    if (!ENGINE_TEST_HAVE_SAMPLES)
        return;
    for (const char* name : {"av.mp4", "bframes.mp4", "video.mp4"}) {
        MemoryFile whole(ReadAll(name));
        CHECK_EQ(FramingCheck::Ends(whole), std::string());
    }
    // A NAL unit's length running past its sample, in the first picture and in the last: a
    // decoder there would fail on the copy, so the check must not pass it.
    const std::string av = ReadAll("av.mp4");
    for (int which : {0, -1}) {
        std::string broken = av;
        uint64_t at = VideoSampleAt(av, which);
        if (!CHECK(at > 0))
            continue;
        broken.replace(static_cast<size_t>(at), 4, Be32(0x00FFFFFF));
        MemoryFile file(broken);
        CHECK(!FramingCheck::Ends(file).empty());
    }
    // MP3 in MP4 is not read by the engine itself: ffmpeg's decode decides.
    MemoryFile mp3(ReadAll("mp3.mp4"));
    CHECK(!FramingCheck::Ends(mp3).empty());
}
