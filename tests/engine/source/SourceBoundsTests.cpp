// The bounds one ffmpeg run is held to, from the recording's size and the machine.

#include "TestKit.h"

#include "source/SourceBounds.h"

TEST_CASE(bounds_grow_with_the_recording_and_leave_small_files_room)
{
    // An empty file still gets room for a short re-encode.
    SourceBounds none(0, 4);
    CHECK_EQ(none.OutputBytes(), 256LL << 20);
    CHECK_EQ(none.Frames(), 2000LL);
    CHECK(none.Seconds() == 3600.0);
    // 6 GB (a night of a dash camera, past 32 bits): sixteen times the bytes, a frame every
    // 8 bytes, a second every 4.
    const unsigned long long six = 6ULL << 30;
    SourceBounds night(six, 4);
    CHECK_EQ(night.OutputBytes(), static_cast<long long>(six * 16 + (256ULL << 20)));
    CHECK_EQ(night.Frames(), static_cast<long long>(six / 8 + 2000));
    CHECK(night.Seconds() == static_cast<double>(six) / 4 + 3600);
    // A real hour of 1080p at 30 fps in 2 GB is far inside every bound.
    SourceBounds hour(2ULL << 30, 4);
    CHECK(hour.Frames() > 100 * 108000LL);
    CHECK(hour.Seconds() > 100 * 3600.0);
}

TEST_CASE(threads_and_picture_sizes_at_their_edges)
{
    const long long fourK = 4096LL * 2304;
    // One more than the processors, at most six; a machine that says none counts as one.
    CHECK_EQ(SourceBounds(0, 0).Threads(1920 * 1080), 2);
    CHECK_EQ(SourceBounds(0, 4).Threads(fourK), 5);
    CHECK_EQ(SourceBounds(0, 5).Threads(fourK), 6);
    CHECK_EQ(SourceBounds(0, 64).Threads(1920 * 1080), 6);
    // Beyond 4K two, however many processors: each thread holds frames of its own.
    CHECK_EQ(SourceBounds(0, 64).Threads(fourK + 1), 2);
    CHECK_EQ(SourceBounds(0, 1).Threads(8192LL * 4320), 2);

    CHECK(!SourceBounds::BeyondFourK(4096, 2304));
    CHECK(!SourceBounds::BeyondFourK(2304, 4096));
    CHECK(SourceBounds::BeyondFourK(4096, 2305));
    CHECK(SourceBounds::BeyondFourK(65536, 65536));   // 2^32 pixels

    CHECK(!SourceBounds::PictureTooLarge(8192, 4320));
    CHECK(SourceBounds::PictureTooLarge(8192, 4321));
    CHECK(!SourceBounds::PictureTooLarge(16384, 2160));   // a panorama of 8K's pixels
    CHECK(SourceBounds::PictureTooLarge(16385, 16));
    CHECK(SourceBounds::PictureTooLarge(16, 16385));
}
