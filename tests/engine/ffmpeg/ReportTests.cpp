// ffmpeg's report and progress blocks as ffmpeg 5.1 writes them.

#include "TestKit.h"

#include "ffmpeg/FfmpegReportParser.h"
#include "ffmpeg/ProgressParser.h"
#include "ffmpeg/ProgressReporter.h"

#include <sstream>

namespace {

FfmpegReportParser Parse(const char* text)
{
    FfmpegReportParser p("output.mp4");
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        p.AddLine(line);
    return p;
}

const char* const TsWithDatalessAudio =
    "ffmpeg version 5.1.9-0+deb12u1 Copyright (c) 2000-2026 the FFmpeg developers\n"
    "[mpegts @ 0x5602e6963980] Could not find codec parameters for stream 1 (Audio: aac ([15][0][0][0] / "
    "0x000F), 0 channels, fltp): unspecified sample rate\n"
    "Input #0, mpegts, from 'C:\\rec\\cam.ksm':\n"
    "  Duration: 00:01:00.03, start: 1.423222, bitrate: 218 kb/s\n"
    "  Program 1 \n"
    "    Metadata:\n"
    "      service_name    : Service01\n"
    "  Stream #0:0[0x100]: Video: h264 (High) ([27][0][0][0] / 0x001B), yuv420p(progressive), 1280x720 "
    "[SAR 1:1 DAR 16:9], 25 fps, 25 tbr, 90k tbn\n"
    "  Stream #0:1[0x101]: Audio: aac ([15][0][0][0] / 0x000F), 0 channels, fltp\n"
    "Output #0, mp4, to 'C:\\rec\\cam.mp4.qm1.tmp\\output.mp4':\n"
    "  Metadata:\n"
    "    encoder         : Lavf59.27.100\n"
    "  Stream #0:0: Video: h264 (High) (avc1 / 0x31637661), yuv420p(progressive), 1280x720, q=2-31\n"
    "Stream mapping:\n"
    "  Stream #0:0 -> #0:0 (copy)\n";

} // namespace

TEST_CASE(report_reads_format_length_streams_and_mapping)
{
    FfmpegReportParser p = Parse(TsWithDatalessAudio);
    CHECK_EQ(p.MajorVersion(), 5);
    CHECK(p.HasFpsMode());
    CHECK(p.InputOpened());
    CHECK(p.InputReportComplete());
    CHECK_EQ(p.InputFormat(), "mpegts");
    CHECK(p.Duration() > 60.02 && p.Duration() < 60.04);
    REQUIRE(p.Streams().size() == 2);
    const StreamInfo& v = p.Streams()[0];
    CHECK_EQ(v.kind, "video");
    CHECK_EQ(v.codec, "h264");
    CHECK_EQ(v.width, 1280);
    CHECK_EQ(v.height, 720);
    CHECK(v.UsableVideo());
    CHECK(!v.interlaced);
    CHECK_EQ(v.programs.size(), 1u);
    const StreamInfo& a = p.Streams()[1];
    CHECK_EQ(a.kind, "audio");
    CHECK(a.parametersMissing);
    CHECK_EQ(a.channels, 0);
    CHECK(!a.DecodableAudio());
    CHECK(p.MappingComplete());
    REQUIRE(p.MappedInputs().size() == 1);
    CHECK_EQ(p.MappedInputs()[0], 0);
    CHECK(!p.WriteError());
}

TEST_CASE(report_reads_audio_layouts_interlacing_and_programmes)
{
    FfmpegReportParser p = Parse(
        "Input #0, mpegts, from 'x.ts':\n"
        "  Duration: N/A, start: 0.000000, bitrate: N/A\n"
        "  Program 1 \n"
        "  Stream #0:0[0x100]: Video: mpeg2video (Main) ([2][0][0][0] / 0x0002), yuv420p(tv, top first), "
        "720x576 [SAR 16:15 DAR 4:3], 25 fps, 25 tbr, 90k tbn\n"
        "  Stream #0:1[0x101](deu): Audio: mp2 ([3][0][0][0] / 0x0003), 48000 Hz, stereo, fltp, 192 kb/s\n"
        "  Program 2 \n"
        "  Stream #0:2[0x200]: Video: h264 (Main), yuv420p(tv, bt709, progressive), 1920x1080, 25 fps\n"
        "  Stream #0:3[0x201]: Audio: ac3 ([129][0][0][0] / 0x0081), 48000 Hz, 5.1(side), fltp, 384 kb/s\n"
        "  Stream #0:4[0x202]: Audio: pcm_mulaw, 8000 Hz, mono, s16, 64 kb/s\n"
        "  Stream #0:5[0x300]: Data: bin_data ([6][0][0][0] / 0x0006)\n"
        "  Stream #0:6: Video: mjpeg (Baseline), yuvj420p(pc, bt470bg/unknown/unknown), 160x120, 90k tbn "
        "(attached pic)\n");
    CHECK(p.Duration() < 0);
    CHECK(!p.InputReportComplete());
    REQUIRE(p.Streams().size() == 7);
    CHECK(p.Streams()[0].interlaced);
    CHECK_EQ(p.Streams()[1].channels, 2);
    CHECK_EQ(p.Streams()[1].sampleRate, 48000);
    CHECK_EQ(p.Streams()[1].programs[0], 1);
    CHECK_EQ(p.Streams()[2].width, 1920);
    CHECK(!p.Streams()[2].interlaced);
    CHECK_EQ(p.Streams()[3].channels, 6);
    CHECK_EQ(p.Streams()[3].programs[0], 2);
    CHECK_EQ(p.Streams()[4].channels, 1);
    CHECK(p.Streams()[4].DecodableAudio());
    CHECK_EQ(p.Streams()[5].kind, "data");
    CHECK(p.Streams()[6].attachedPicture);
    CHECK(!p.Streams()[6].UsableVideo());
}

TEST_CASE(report_gives_the_telling_error_and_spots_write_errors)
{
    FfmpegReportParser tag = Parse(
        "Input #0, avi, from 'sub.avi':\n"
        "  Stream #0:2: Audio: pcm_alaw ([6][0][0][0] / 0x0006), 8000 Hz, mono, s16, 64 kb/s\n"
        "[mp4 @ 0x55ecc7e3ef40] Could not find tag for codec pcm_alaw in stream #1, codec not currently "
        "supported in container\n"
        "Could not write header for output file #0 (incorrect codec parameters ?): Invalid argument\n"
        "Error initializing output stream 0:1 -- \n"
        "Stream mapping:\n"
        "  Stream #0:1 -> #0:0 (copy)\n"
        "Conversion failed!\n");
    CHECK_EQ(tag.Reason(), "Could not find tag for codec pcm_alaw in stream #1, codec not currently supported "
                           "in container");
    CHECK(!tag.WriteError());

    FfmpegReportParser full = Parse("av_interleaved_write_frame(): No space left on device\n"
                                    "Error writing trailer of C:\\x\\output.mp4: No space left on device\n");
    CHECK(full.WriteError());
    FfmpegReportParser denied = Parse("C:\\Users\\me\\Videos\\a.mp4.qm1.tmp\\output.mp4: Permission denied\n");
    CHECK(denied.WriteError());
    // A source that cannot be read is not a write error.
    FfmpegReportParser source = Parse("C:\\rec\\cam.ksm: Permission denied\n");
    CHECK(!source.WriteError());
    CHECK_EQ(source.Reason(), "C:\\rec\\cam.ksm: Permission denied");
    FfmpegReportParser unreadable = Parse("ffmpeg version n4.1 Copyright\nvend.ksm: Invalid data found when "
                                          "processing input\n");
    CHECK(!unreadable.InputOpened());
    CHECK_EQ(unreadable.MajorVersion(), 4);
    CHECK(!unreadable.HasFpsMode());
    // A snapshot build names no version: its library decides.
    CHECK(!Parse("ffmpeg version N-92722-gf22fcd4483 Copyright (c) 2000-2018\n"
                 "  libavcodec     58. 42.102 / 58. 42.102\n").HasFpsMode());
    CHECK(Parse("ffmpeg version N-1-g1\n  libavcodec     61.  3.100 / 61.  3.100\n").HasFpsMode());
    CHECK_EQ(unreadable.Reason(), "vend.ksm: Invalid data found when processing input");
}

TEST_CASE(progress_blocks_count_when_closed)
{
    ProgressParser p;
    CHECK(!p.AddLine("frame=75"));
    CHECK(!p.AddLine("total_size=91603"));
    CHECK(!p.AddLine("out_time=00:01:02.500000"));
    CHECK(p.Position() < 0);   // the block is not closed yet
    CHECK(p.AddLine("progress=continue\r"));
    CHECK(p.Position() > 62.49 && p.Position() < 62.51);
    CHECK_EQ(p.WrittenBytes(), 91603LL);
    CHECK_EQ(p.Frames(), 75LL);
    CHECK(!p.Ended());
    p.AddLine("out_time=-577014:32:22.775808");   // before the first packet
    p.AddLine("total_size=N/A");
    p.AddLine("progress=end");
    CHECK(p.Position() > 62.49 && p.Position() < 62.51);
    CHECK(p.Ended());
    CHECK_EQ(p.Blocks(), 2);
}

TEST_CASE(progress_line_reads_as_position_length_percent_and_time_left)
{
    CHECK_EQ(ProgressReporter::Format(15, 60, 5), "Progress: 0:00:15 of 0:01:00 (25%), about 0:00:15 left");
    CHECK_EQ(ProgressReporter::Format(61, 60, 5), "Progress: 0:01:01 of 0:01:00 (99%)");
    CHECK_EQ(ProgressReporter::Format(3725, -1, 5), "Progress: 1:02:05 converted");
}

TEST_CASE(report_reads_creation_time_frame_rate_and_missing_pictures)
{
    FfmpegReportParser p = Parse(
        "[mpegts @ 0x5602e6963980] Could not find codec parameters for stream 0 (Video: h264 ([27][0][0][0] / "
        "0x001B), none): unspecified size\n"
        "Input #0, mov,mp4,m4a,3gp,3g2,mj2, from 'C:\\rec\\cam.ksm':\n"
        "  Metadata:\n"
        "    major_brand     : qt  \n"
        "    creation_time   : 2024-05-01T10:20:30.000000Z\n"
        "  Duration: 00:00:20.29, start: 1.400000, bitrate: 1163 kb/s\n"
        "  Stream #0:0[0x100]: Video: h264 ([27][0][0][0] / 0x001B), none, 90k tbr, 90k tbn\n"
        "  Stream #0:1[0x101]: Video: h264 (High), yuv420p(progressive), 640x360, 29.97 fps, 29.97 tbr, 90k tbn\n"
        "    Metadata:\n"
        "      creation_time   : 2020-01-01T00:00:00.000000Z\n"
        "[mp4 @ 0x55d1] reserved_moov_size is too small, needed 90123 bytes\n");
    CHECK_EQ(p.CreationTime(), "2024-05-01T10:20:30.000000Z");
    CHECK(p.VideoParametersMissing());
    REQUIRE(p.Streams().size() == 2);
    CHECK(p.Streams()[1].fps > 29.9 && p.Streams()[1].fps < 30);
    CHECK(p.IndexRoomTooSmall());
    CHECK(!Parse(TsWithDatalessAudio).VideoParametersMissing());
    CHECK_EQ(Parse(TsWithDatalessAudio).CreationTime(), "");
}

TEST_CASE(report_reads_what_a_camera_records_beside_picture_and_sound)
{
    // Its own keys (not its streams'), the timecode, each stream's tag; a null muxer's
    // complaint told from a decoder's.
    FfmpegReportParser p = Parse(
        "Input #0, mov,mp4,m4a,3gp,3g2,mj2, from 'C:\\rec\\GX010001.ksm':\n"
        "  Metadata:\n"
        "    com.apple.quicktime.location.ISO6709: +48.8584+002.2945+035.000/\n"
        "    com.apple.quicktime.make: Apple\n"
        "  Duration: 00:00:04.00, start: 0.000000, bitrate: 938 kb/s\n"
        "  Stream #0:0[0x1]: Video: h264 (High) (avc1 / 0x31637661), yuv420p, 320x240, 25 fps (default)\n"
        "    Metadata:\n"
        "      handler_name    : GoPro AVC\n"
        "  Stream #0:1[0x4]: Data: bin_data (gpmd / 0x646D7067)\n"
        "  Stream #0:2[0x5](eng): Data: none (tmcd / 0x64636D74), 0 kb/s\n"
        "    Metadata:\n"
        "      timecode        : 10:20:30:00\n"
        "[null @ 0x55d1] Application provided invalid, non monotonically increasing dts to muxer in stream 0\n"
        "[h264 @ 0x55d2] error while decoding MB 3 4\n");
    REQUIRE(p.Tags().size() == 2);
    CHECK_EQ(p.Tags()[0].first, "com.apple.quicktime.location.ISO6709");
    CHECK_EQ(p.Tags()[0].second, "+48.8584+002.2945+035.000/");
    CHECK_EQ(p.Timecode(), "10:20:30:00");
    REQUIRE(p.Streams().size() == 3);
    CHECK_EQ(p.Streams()[0].tag, "avc1");
    CHECK_EQ(p.Streams()[1].tag, "gpmd");
    CHECK_EQ(p.Streams()[2].tag, "tmcd");
    CHECK_EQ(p.MuxerLines(), 1);
    CHECK_EQ(p.Lines() - p.MuxerLines(), 13);
}
