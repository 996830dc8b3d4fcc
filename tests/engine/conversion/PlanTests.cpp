// Which streams go into the MP4 and which attempts come in which order.

#include "TestKit.h"

#include "conversion/ConversionPlanner.h"
#include "ffmpeg/FfmpegArguments.h"
#include "conversion/StreamChooser.h"

#include <algorithm>

namespace {

StreamInfo Stream(int index, const char* kind, const char* codec, int programme)
{
    StreamInfo s;
    s.index = index;
    s.kind = kind;
    s.codec = codec;
    if (programme >= 0)
        s.programs.push_back(programme);
    return s;
}

StreamInfo Video(int index, const char* codec, int w, int h, int programme = -1)
{
    StreamInfo s = Stream(index, "video", codec, programme);
    s.width = w;
    s.height = h;
    return s;
}

StreamInfo Audio(int index, const char* codec, int rate, int channels, int programme = -1)
{
    StreamInfo s = Stream(index, "audio", codec, programme);
    s.sampleRate = rate;
    s.channels = channels;
    return s;
}

std::vector<Tier> Tiers(const std::vector<Attempt>& plan)
{
    std::vector<Tier> t;
    for (const Attempt& a : plan)
        t.push_back(a.tier);
    return t;
}

bool Has(const std::vector<std::string>& args, const std::string& a, const std::string& b)
{
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == a && args[i + 1] == b)
            return true;
    return false;
}

} // namespace

TEST_CASE(choice_takes_the_largest_picture_and_audio_that_carries_data)
{
    StreamInfo dataless = Audio(1, "aac", 0, 0);
    dataless.parametersMissing = true;
    std::vector<StreamInfo> streams = {Video(0, "h264", 352, 288), dataless, Video(2, "h264", 1280, 720),
                                       Audio(3, "pcm_alaw", 8000, 1)};
    StreamChoice c = StreamChooser::Choose(streams);
    CHECK_EQ(c.video, 2);
    CHECK_EQ(c.audio, 3);
    REQUIRE(c.leftOut.size() == 2);
    CHECK(c.leftOut[0].find("#0:0") == 0);
    CHECK(c.leftOut[1].find("declared without data") != std::string::npos);

    StreamInfo unknown = Audio(1, "none", 0, -1);
    StreamChoice none = StreamChooser::Choose({Video(0, "h264", 640, 480), unknown});
    CHECK_EQ(none.audio, -1);
}

TEST_CASE(choice_keeps_video_and_audio_in_one_programme)
{
    std::vector<StreamInfo> streams = {Video(0, "h264", 640, 360, 1), Audio(1, "aac", 48000, 2, 1),
                                       Video(2, "h264", 1920, 1080, 2), Audio(3, "aac", 48000, 2, 2)};
    StreamChoice c = StreamChooser::Choose(streams);
    CHECK_EQ(c.video, 2);
    CHECK_EQ(c.audio, 3);
    // The main picture's programme has no audio: none rather than another programme's.
    StreamChoice alone = StreamChooser::Choose({Audio(0, "aac", 48000, 2, 1), Video(1, "h264", 1920, 1080, 2)});
    CHECK_EQ(alone.video, 1);
    CHECK_EQ(alone.audio, -1);
}

TEST_CASE(tiers_go_cheapest_first)
{
    std::vector<StreamInfo> fits = {Video(0, "h264", 1280, 720), Audio(1, "aac", 48000, 2)};
    CHECK(Tiers(ConversionPlanner::Plan(fits, StreamChooser::Choose(fits), "mpegts")) ==
          (std::vector<Tier>{Tier::CopyBoth, Tier::CopyVideoAudioToAac, Tier::Reencode, Tier::VideoOnly}));

    std::vector<StreamInfo> g711 = {Video(0, "h264", 1280, 720), Audio(1, "pcm_mulaw", 8000, 1)};
    CHECK(Tiers(ConversionPlanner::Plan(g711, StreamChooser::Choose(g711), "avi")) ==
          (std::vector<Tier>{Tier::CopyVideoAudioToAac, Tier::Reencode, Tier::VideoOnly}));

    std::vector<StreamInfo> mpeg2 = {Video(0, "mpeg2video", 720, 576), Audio(1, "mp2", 48000, 2)};
    std::vector<Attempt> plan = ConversionPlanner::Plan(mpeg2, StreamChooser::Choose(mpeg2), "mpeg");
    CHECK(Tiers(plan) == (std::vector<Tier>{Tier::Reencode, Tier::VideoOnly}));
    CHECK(plan.back().method.find("audio (mp2) could not be converted") != std::string::npos);

    std::vector<StreamInfo> nothing;
    CHECK(Tiers(ConversionPlanner::Plan(nothing, StreamChooser::Choose(nothing), "")) ==
          (std::vector<Tier>{Tier::RawH264, Tier::RawHevc}));

    std::vector<StreamInfo> raw = {Video(0, "h264", 1280, 720)};
    std::vector<Attempt> rawPlan = ConversionPlanner::Plan(raw, StreamChooser::Choose(raw), "h264");
    CHECK(rawPlan.front().method.find("speed taken from the stream") != std::string::npos);
    CHECK(rawPlan.back().tier == Tier::RawHevc);
}

TEST_CASE(arguments_map_the_choice_and_keep_frame_timing)
{
    StreamInfo v = Video(2, "mpeg2video", 721, 577);
    v.interlaced = true;
    std::vector<StreamInfo> streams = {Audio(0, "mp2", 48000, 2), v};
    std::vector<Attempt> plan = ConversionPlanner::Plan(streams, StreamChooser::Choose(streams), "mpeg");
    std::vector<std::string> args = FfmpegArguments::ForAttempt(plan[0], "in.ksm", "out.mp4", true);
    CHECK(Has(args, "-map", "0:2"));
    CHECK(Has(args, "-map", "0:0"));
    CHECK(Has(args, "-fps_mode", "passthrough"));
    // An odd size loses its last line and column rather than being rescaled.
    CHECK(Has(args, "-vf", "yadif=0:-1:0,crop=trunc(iw/2)*2:trunc(ih/2)*2:0:0"));
    CHECK(Has(args, "-c:a", "aac"));
    CHECK_EQ(args.back(), "out.mp4");
    CHECK(Has(FfmpegArguments::ForAttempt(plan[0], "in.ksm", "out.mp4", false), "-vsync", "passthrough"));

    std::vector<std::string> videoOnly = FfmpegArguments::ForAttempt(plan[1], "in.ksm", "out.mp4", true);
    CHECK(std::find(videoOnly.begin(), videoOnly.end(), "-an") != videoOnly.end());
    CHECK(!Has(videoOnly, "-map", "0:0"));

    std::vector<Attempt> raw = ConversionPlanner::RawAttempts();
    std::vector<std::string> hevc = FfmpegArguments::ForAttempt(raw[1], "in.ksm", "out.mp4", true);
    CHECK(Has(hevc, "-f", "hevc"));
    CHECK(Has(hevc, "-tag:v", "hvc1"));
    CHECK(std::find(hevc.begin(), hevc.end(), "-f") < std::find(hevc.begin(), hevc.end(), "-i"));
}

TEST_CASE(mp4_has_its_index_first_and_no_timecode_track)
{
    std::vector<StreamInfo> fits = {Video(0, "av1", 1920, 1080), Audio(1, "aac", 48000, 2)};
    fits[0].fps = 25;
    std::vector<Attempt> plan = ConversionPlanner::Plan(fits, StreamChooser::Choose(fits), "matroska");
    CHECK(plan[0].tier == Tier::CopyBoth);   // AV1 is copied, not re-encoded
    // 10 minutes: room for every frame's and audio packet's table entries.
    long long room = ConversionPlanner::IndexRoom(&fits[0], &fits[1], 600, 300000000);
    CHECK(room > 600 * (25 + 48) * 16);
    CHECK(room < 2 * 1024 * 1024);
    CHECK_EQ(ConversionPlanner::IndexRoom(&fits[0], &fits[1], -1, 300000000), 0LL);
    // A small file claiming 233 hours gets room for what it can hold, not 1.7 GB.
    CHECK(ConversionPlanner::IndexRoom(&fits[0], &fits[1], 233 * 3600.0, 91000) < 1024 * 1024);

    plan[0].indexRoom = room;
    std::vector<std::string> args = FfmpegArguments::ForAttempt(plan[0], "in.ksm", "out.mp4", true);
    CHECK(Has(args, "-moov_size", std::to_string(room)));
    CHECK(Has(args, "-write_tmcd", "0"));
    plan[0].indexRoom = 0;
    CHECK(Has(FfmpegArguments::ForAttempt(plan[0], "in.ksm", "out.mp4", true), "-movflags", "+faststart"));

    std::vector<std::string> first = FfmpegArguments::FirstRun("in.ksm", "out.mp4", true, 4096);
    CHECK(Has(first, "-analyzeduration", "120M"));
    CHECK(std::find(first.begin(), first.end(), "-probesize") < std::find(first.begin(), first.end(), "-i"));
    CHECK(Has(first, "-moov_size", "4096"));
    CHECK(!Has(FfmpegArguments::FirstRun("in.ksm", "out.mp4", false, 4096), "-analyzeduration", "120M"));
}

TEST_CASE(what_mp4_carries_is_kept_beside_the_main_tracks)
{
    // A second sound track (converted where MP4 cannot hold it), telemetry under its own
    // name, text subtitles as MP4 text; pictures drawn as subtitles, a data track ffmpeg cannot
    // write and another programme's sound are left out with their reasons, the timecode
    // track is written again rather than copied.
    StreamInfo gpmd = Stream(3, "data", "bin_data", -1), tmcd = Stream(4, "data", "none", -1),
               mebx = Stream(7, "data", "none", -1);
    gpmd.tag = "gpmd";
    tmcd.tag = "tmcd";
    mebx.tag = "mebx";
    std::vector<StreamInfo> streams = {Video(0, "h264", 1920, 1080), Audio(1, "aac", 48000, 2),
                                       Audio(2, "pcm_s16le", 48000, 2), gpmd, tmcd,
                                       Stream(5, "subtitle", "subrip", -1), Stream(6, "subtitle", "dvd_subtitle", -1),
                                       mebx};
    StreamChoice c = StreamChooser::Choose(streams);
    REQUIRE(c.kept.size() == 3);
    CHECK_EQ(c.kept[0].index, 2);
    CHECK_EQ(c.kept[0].codec, "aac");
    CHECK_EQ(c.kept[1].tag, "gpmd");
    CHECK_EQ(c.kept[2].codec, "mov_text");
    REQUIRE(c.leftOut.size() == 2);
    CHECK(c.leftOut[0].find("#0:6") == 0);
    REQUIRE(c.notKept.size() == 2);
    CHECK_EQ(c.notKept[1], "data mebx: a track ffmpeg cannot write into MP4");

    std::vector<Attempt> plan = ConversionPlanner::Plan(streams, c, "mov,mp4,m4a,3gp,3g2,mj2");
    std::vector<std::string> args = FfmpegArguments::ForAttempt(plan[0], "in.ksm", "out.mp4", true);
    auto at = [&args](const char* a) { return std::find(args.begin(), args.end(), a) - args.begin(); };
    CHECK(at("0:0") < at("0:1") && at("0:1") < at("0:2") && at("0:2") < at("0:3") && at("0:3") < at("0:5"));
    CHECK(Has(args, "-c:2", "aac") && Has(args, "-c:3", "copy") && Has(args, "-tag:3", "gpmd"));
    CHECK(Has(args, "-c:4", "mov_text"));
    CHECK(at("-c:2") > at("-c:a"));   // after the main sound's, which would match it too
    CHECK(at("-dn") == static_cast<long>(args.size()) && at("-sn") == static_cast<long>(args.size()));
    CHECK_EQ(plan[0].KeptNames(), "another sound track (pcm_s16le, as AAC), GPS/telemetry (gpmd), subtitles (subrip, "
                                  "as MP4 text)");
    // Video alone (its sound could not be converted): no other sound either.
    const Attempt& alone = plan.back().tier == Tier::VideoOnly ? plan.back() : plan[plan.size() - 2];
    CHECK(alone.tier == Tier::VideoOnly);
    CHECK_EQ(alone.kept.size(), size_t(2));
}

TEST_CASE(frames_without_presentation_times_are_re_timed_and_re_encoded)
{
    std::vector<StreamInfo> avi = {Video(0, "h264", 640, 480), Audio(1, "aac", 48000, 2)};
    std::vector<Attempt> plan = ConversionPlanner::Plan(avi, StreamChooser::Choose(avi), "avi");
    Attempt again = ConversionPlanner::TimesRebuilt(plan[0]);
    std::vector<std::string> args = FfmpegArguments::ForAttempt(again, "in.avi", "out.mp4", true);
    CHECK(Has(args, "-c:v", "libx264"));
    CHECK(Has(args, "-c:a", "copy"));
    CHECK(Has(args, "-vf", "setpts=N/FRAME_RATE/TB,crop=trunc(iw/2)*2:trunc(ih/2)*2:0:0"));
    CHECK(Has(args, "-fps_mode", "vfr"));
    CHECK(again.done.find("re-timed") != std::string::npos);
}

TEST_CASE(left_out_names_a_same_size_video_and_interlaced_copies_say_so)
{
    StreamInfo main = Video(0, "h264", 1920, 1080);
    main.interlaced = true;
    std::vector<StreamInfo> streams = {main, Video(1, "h264", 1920, 1080), Video(2, "h264", 640, 360)};
    StreamChoice c = StreamChooser::Choose(streams);
    REQUIRE(c.leftOut.size() == 2);
    CHECK(c.leftOut[0].find("same picture size") != std::string::npos);
    CHECK(c.leftOut[1].find("smaller picture") != std::string::npos);
    std::vector<Attempt> plan = ConversionPlanner::Plan(streams, c, "mpegts");
    CHECK(plan[0].done.find("interlaced") != std::string::npos);
    CHECK(plan[0].interlacedCopy);
}

TEST_CASE(every_input_reads_only_recordings_from_the_file_itself_within_bounds)
{
    RunBounds bounds;
    bounds.threads = 3;
    bounds.outputBytes = 123456789;
    std::vector<StreamInfo> streams = {Video(0, "mpeg2video", 1920, 1080), Audio(1, "mp2", 48000, 2)};
    std::vector<Attempt> plan = ConversionPlanner::Plan(streams, StreamChooser::Choose(streams), "mpeg");
    plan[0].bounds = bounds;
    std::vector<std::vector<std::string>> runs = {
        FfmpegArguments::FirstRun("in.ksm", "out.mp4", false, 4096, bounds),
        FfmpegArguments::ForAttempt(plan[0], "in.ksm", "out.mp4", true),
        FfmpegArguments::Measure(plan[0], "in.ksm"),
        FfmpegArguments::Decode(0, "in.ksm", bounds),
        FfmpegArguments::ForAttempt(ConversionPlanner::RawAttempts()[0], "in.ksm", "out.mp4", true)};
    for (const std::vector<std::string>& args : runs) {
        auto input = std::find(args.begin(), args.end(), "-i");
        auto whitelist = std::find(args.begin(), args.end(), "-format_whitelist");
        REQUIRE(whitelist < input);
        CHECK(Has(args, "-protocol_whitelist", "file"));
        CHECK(Has(args, "-max_streams", "64"));
        std::string formats = *(whitelist + 1);
        for (const char* kept : {"mov", "mpegts", "avi", "matroska", "h264", "hevc", "dhav", "amr"})
            CHECK(("," + formats + ",").find("," + std::string(kept) + ",") != std::string::npos);
        for (const char* out : {"hls", "concat", "image2", "tty"})
            CHECK(("," + formats + ",").find("," + std::string(out) + ",") == std::string::npos);
    }
    // The re-encode is bounded in threads (memory) and in what it writes.
    CHECK(Has(runs[1], "-threads", "3"));
    CHECK(Has(runs[1], "-fs", "123456789"));
    CHECK(Has(runs[0], "-fs", "123456789"));
}

TEST_CASE(a_one_frame_track_is_never_the_main_video)
{
    // A phone's motion photo: the clip, and a still twice its size.
    StreamInfo clip = Video(0, "hevc", 1024, 768);
    clip.frames = 58;
    StreamInfo still = Video(1, "hevc", 2048, 1536);
    still.frames = 1;
    std::vector<StreamInfo> streams = {clip, still, Audio(2, "aac", 48000, 2)};
    StreamChoice c = StreamChooser::Choose(streams);
    CHECK_EQ(c.video, 0);
    REQUIRE(c.leftOut.size() == 1);
    CHECK(c.leftOut[0].find("a still picture") != std::string::npos);
    // Only stills: the largest is taken rather than none.
    streams[0].frames = 1;
    CHECK_EQ(StreamChooser::Choose(streams).video, 1);
}
