// Whether a copied video reorders its frames: told by its parameter sets, or its slices.

#include "TestKit.h"

#include "mp4/FrameOrder.h"

#include <map>
#include <string>

TEST_CASE(parameter_sets_tell_reordering_or_leave_it_open)
{
    typedef std::map<std::string, long long> Fields;
    // x264 with B-pyramid states two frames of reordering; without B-frames none.
    CHECK_EQ(FrameOrder::FromParameterSets(Fields{{"profile_idc", 100}, {"bitstream_restriction_flag", 1},
                                                  {"max_num_reorder_frames", 2}}),
             FrameOrder::Reordered);
    CHECK_EQ(FrameOrder::FromParameterSets(Fields{{"profile_idc", 100}, {"bitstream_restriction_flag", 1},
                                                  {"max_num_reorder_frames", 0}}),
             FrameOrder::InOrder);
    // HEVC always states it.
    CHECK_EQ(FrameOrder::FromParameterSets(Fields{{"sps_max_num_reorder_pics", 0}}), FrameOrder::InOrder);
    CHECK_EQ(FrameOrder::FromParameterSets(Fields{{"sps_max_num_reorder_pics", 3}}), FrameOrder::Reordered);
    // Main or High without the restriction may reorder; Baseline cannot.
    CHECK_EQ(FrameOrder::FromParameterSets(Fields{{"profile_idc", 77}}), FrameOrder::Unknown);
    CHECK_EQ(FrameOrder::FromParameterSets(Fields{{"profile_idc", 66}}), FrameOrder::InOrder);
    CHECK_EQ(FrameOrder::FromParameterSets(Fields()), FrameOrder::Unknown);
}

TEST_CASE(slices_tell_b_frames)
{
    // NAL header, then first_mb_in_slice and slice_type as Exp-Golomb codes.
    CHECK_EQ(FrameOrder::SliceType(std::string("\x41\xC0", 2)), 0);        // P
    CHECK_EQ(FrameOrder::SliceType(std::string("\x01\xA0", 2)), 1);        // B, not a reference
    CHECK_EQ(FrameOrder::SliceType(std::string("\x41\x9C", 2)), 1);        // B (6: all slices B)
    CHECK_EQ(FrameOrder::SliceType(std::string("\x65\x88\x00", 3)), 2);    // IDR, I (7)
    CHECK_EQ(FrameOrder::SliceType(std::string("\x06\x05\x10", 3)), -1);   // SEI
    CHECK_EQ(FrameOrder::SliceType(std::string("\x41", 1)), -1);

#if ENGINE_TEST_HAVE_SAMPLES
    // Whole MP4s: the samples found through the index (audio interleaved), an SEI before
    // the first slice.
    CHECK_EQ(FrameOrder::FromSlices(L"" ENGINE_TEST_DATA L"/bframes.mp4"), FrameOrder::Reordered);
    CHECK_EQ(FrameOrder::FromSlices(L"" ENGINE_TEST_DATA L"/av.mp4"), FrameOrder::InOrder);
#endif
    CHECK_EQ(FrameOrder::FromSlices(L"" ENGINE_TEST_DATA L"/none.mp4"), FrameOrder::Unknown);
}
